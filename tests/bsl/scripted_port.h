// A numbered port on an in-process line, opened for the length of a test case.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "platform/serial.h"
#include "support/test_support.h"

namespace driveflash::test {

class ScriptedPort {
 public:
  static constexpr int kNumber = 7;

  // `timeout_s` is the read time-out the run sets at the loader baud rate unless given.
  explicit ScriptedPort(std::shared_ptr<platform::SerialLine> line, double timeout_s = 1.0)
      : line_(std::move(line)) {
    platform::map_port_to_line(kNumber, line_);
    EXPECT_EQ(OpenComConfig(kNumber, "", 115200, 0, 8, 1, 512, 512), 0);
    EXPECT_EQ(SetComTime(kNumber, timeout_s), 0);
  }
  ~ScriptedPort() {
    CloseCom(kNumber);
    platform::unmap_port(kNumber);
  }
  ScriptedPort(const ScriptedPort&) = delete;
  ScriptedPort& operator=(const ScriptedPort&) = delete;

  int number() const { return kNumber; }

 private:
  std::shared_ptr<platform::SerialLine> line_;
};

// A scripted peer: reply i answers write i; an empty reply is silence.
inline std::shared_ptr<platform::ScriptedLine> scripted(const std::vector<Bytes>& replies = {}) {
  auto line = std::make_shared<platform::ScriptedLine>();
  for (const Bytes& r : replies) {
    line->then(r);
  }
  return line;
}

// Everything written, one hex string per write.
inline std::vector<std::string> written(const platform::ScriptedLine& line) {
  std::vector<std::string> out;
  for (const auto& w : line.writes()) {
    out.push_back(to_hex(w));
  }
  return out;
}

}  // namespace driveflash::test
