// The real-port tests run as the front ends do: with an application object, so that the
// threads that open ports get an event dispatcher and Qt stays quiet.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <array>
#include <memory>

namespace {

class QtApplication final : public ::testing::Environment {
 public:
  void SetUp() override {
    if (QCoreApplication::instance() == nullptr) {
      app_ = std::make_unique<QCoreApplication>(argc_, argv_.data());
    }
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[16] = "driveflash-test";
  std::array<char*, 2> argv_{name_, nullptr};
  std::unique_ptr<QCoreApplication> app_;
};

// GoogleTest owns the environments it is given.
[[maybe_unused]] const ::testing::Environment* const g_qt_application =
    ::testing::AddGlobalTestEnvironment(new QtApplication);

}  // namespace
