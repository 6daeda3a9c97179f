// The GUI thread's side of the run-time services: the queue of tasks other threads hand it,
// message and file dialogs, fonts.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <array>
#include <deque>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "platform/panels.h"
#include "platform/qt/qt_panels.h"

namespace driveflash::platform {
namespace {

// Other threads hand the GUI thread work through this queue and a timer on the GUI thread picks
// it up. A worker thread thus never calls into Qt at all: the hand-over is a plain mutex, which
// also keeps the thread sanitizer able to see every hand-over.
constexpr int kPickUpIntervalMs = 15;

struct Tasks {
  std::mutex mutex;
  std::deque<std::function<void()>> queue;
  std::thread::id gui;
  // GUI thread only.
  bool immediate_run_posted = false;
  QPointer<QTimer> timer;
};

Tasks& tasks() {
  static Tasks t;
  return t;
}

bool on_gui_thread() {
  std::lock_guard lock(tasks().mutex);
  return tasks().gui == std::this_thread::get_id();
}

// Runs `f` on the GUI thread and hands back its result; the caller waits. Only dialogs do this,
// and a GUI thread that waits for a worker keeps running tasks meanwhile.
template <typename F>
auto on_gui_and_wait(F f) -> decltype(f()) {
  if (on_gui_thread()) {
    return f();
  }
  std::promise<decltype(f())> result;
  post_to_gui([&] { result.set_value(f()); });
  return result.get_future().get();
}

QString from_local(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

// Where the file dialog opens when the program names no place; follows the operator's choices.
std::string g_dialog_folder;

int show_message(const std::string& title, const std::string& message) {
  QMessageBox box(QMessageBox::Information, QString::fromStdString(title),
                  QString::fromStdString(message), QMessageBox::Ok, top_panel_window());
  // The labels are in both languages; so is the one button.
  box.button(QMessageBox::Ok)->setText(QStringLiteral("确定 / &OK"));
  box.exec();
  return 0;
}

// The yes/no question on the screen, if any; only the GUI thread touches it, and each question
// puts back the one it covered before its box goes away.
QMessageBox* g_question = nullptr;

bool ask_yes_no(const std::string& title, const std::string& message) {
  QMessageBox box(QMessageBox::Question, QString::fromStdString(title),
                  QString::fromStdString(message), QMessageBox::Yes | QMessageBox::No,
                  top_panel_window());
  box.setDefaultButton(QMessageBox::No);
  box.button(QMessageBox::Yes)->setText(QStringLiteral("是 / &Yes"));
  box.button(QMessageBox::No)->setText(QStringLiteral("否 / &No"));
  box.setObjectName(QStringLiteral("question"));
  QMessageBox* const outer = g_question;
  g_question = &box;
  const bool yes = box.exec() == QMessageBox::Yes;
  g_question = outer;
  return yes;
}

}  // namespace

void give_labels_buddies(QFileDialog& dialog) {
  constexpr std::array<std::pair<const char*, const char*>, 3> kPairs{{
      {"lookInLabel", "lookInCombo"},
      {"fileNameLabel", "fileNameEdit"},
      {"fileTypeLabel", "fileTypeCombo"},
  }};
  for (const auto& [label_name, field_name] : kPairs) {
    auto* label = dialog.findChild<QLabel*>(QString::fromLatin1(label_name));
    auto* field = dialog.findChild<QWidget*>(QString::fromLatin1(field_name));
    if (label != nullptr && field != nullptr && label->buddy() == nullptr) {
      label->setBuddy(field);
    }
  }
}

namespace {

// Opens the dialog where `start` points: a directory, or a file whose directory is shown with
// the file chosen; otherwise the current directory.
void place(QFileDialog& dialog, const std::string& start) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path p(start);
  if (!start.empty() && fs::is_directory(p, ec)) {
    dialog.setDirectory(from_local(start));
  } else if (!start.empty() && p.has_parent_path() && fs::is_directory(p.parent_path(), ec)) {
    dialog.setDirectory(from_local(p.parent_path().string()));
    dialog.selectFile(from_local(p.filename().string()));
  } else if (!g_dialog_folder.empty() && fs::is_directory(fs::path(g_dialog_folder), ec)) {
    dialog.setDirectory(from_local(g_dialog_folder));
  } else {
    dialog.setDirectory(QDir::currentPath());
  }
}

std::optional<std::string> select_file(const std::string& start, const std::string& file_spec,
                                       const std::string& title) {
  QFileDialog dialog(top_panel_window(), QString::fromStdString(title));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  QStringList filters;
  if (!file_spec.empty()) {
    filters << QStringLiteral("固件 / Firmware (%1)")
                   .arg(QString::fromStdString(file_spec).replace(u';', u' '));
  }
  // Neither the directory nor the extension is restricted: any file may be chosen.
  filters << QStringLiteral("所有文件 / All files (*)");
  dialog.setNameFilters(filters);
  // Qt's own dialog, so that every label below is shown as given.
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setLabelText(QFileDialog::Accept, QStringLiteral("选择 / &Select"));
  dialog.setLabelText(QFileDialog::Reject, QStringLiteral("取消 / Cancel"));
  dialog.setLabelText(QFileDialog::LookIn, QStringLiteral("位置 / Look in:"));
  dialog.setLabelText(QFileDialog::FileName, QStringLiteral("文件名 / File &name:"));
  dialog.setLabelText(QFileDialog::FileType, QStringLiteral("文件类型 / Files of &type:"));
  give_labels_buddies(dialog);
  place(dialog, start);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
    return std::nullopt;
  }
  const std::string path = QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString();
  g_dialog_folder = QFile::encodeName(QFileInfo(dialog.selectedFiles().constFirst()).absolutePath())
                        .toStdString();
  if (path.size() >= static_cast<std::size_t>(kPathBufferSize)) {
    show_message(title, "路径太长 / The path is too long (at most " +
                            std::to_string(kPathBufferSize - 1) + " bytes):\n" + path);
    return std::nullopt;
  }
  return path;
}

}  // namespace

void start_gui_tasks() {
  Tasks& t = tasks();
  {
    std::lock_guard lock(t.mutex);
    t.gui = std::this_thread::get_id();
  }
  if (t.timer == nullptr) {
    t.timer = new QTimer(QCoreApplication::instance());
    t.timer->setInterval(kPickUpIntervalMs);
    QObject::connect(t.timer, &QTimer::timeout, [] { run_posted_tasks(); });
    t.timer->start();
  }
}

void stop_gui_tasks() {
  Tasks& t = tasks();
  delete t.timer;
  std::deque<std::function<void()>> dropped;
  std::lock_guard lock(t.mutex);
  dropped.swap(t.queue);
}

void post_to_gui(std::function<void()> task) {
  Tasks& t = tasks();
  bool gui = false;
  {
    std::lock_guard lock(t.mutex);
    t.queue.push_back(std::move(task));
    gui = t.gui == std::this_thread::get_id();
  }
  // What the GUI thread posts itself runs as soon as its loop turns, not a timer tick later.
  if (gui && !t.immediate_run_posted && QCoreApplication::instance() != nullptr) {
    t.immediate_run_posted = true;
    QTimer::singleShot(0, QCoreApplication::instance(), [] {
      tasks().immediate_run_posted = false;
      run_posted_tasks();
    });
  }
}

void run_posted_tasks() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(tasks().mutex);
    batch.swap(tasks().queue);
  }
  for (const auto& task : batch) {
    task();
  }
}

void install_qt_dialogs() {
  start_gui_tasks();
  DialogHooks hooks;
  hooks.message = [](const std::string& title, const std::string& message) {
    on_gui_and_wait([&] { return show_message(title, message); });
  };
  hooks.file_select = [](const std::string& start, const std::string& file_spec,
                         const std::string& title) {
    return on_gui_and_wait([&] { return select_file(start, file_spec, title); });
  };
  hooks.confirm = [](const std::string& title, const std::string& message) {
    return on_gui_and_wait([&] { return ask_yes_no(title, message); });
  };
  set_dialog_hooks(std::move(hooks));
}

void dismiss_question() {
  if (g_question != nullptr) {
    g_question->done(QMessageBox::No);
  }
}

void set_file_dialog_folder(const std::string& folder) {
  g_dialog_folder = folder;
}

std::string file_dialog_folder() {
  return g_dialog_folder;
}

void prefer_cjk_fonts() {
  QFont font = QApplication::font();
  QStringList families{font.family()};
  for (const char* family :
       {"WenQuanYi Micro Hei", "Noto Sans CJK SC", "Source Han Sans SC", "Droid Sans Fallback"}) {
    if (QFontDatabase::hasFamily(QString::fromLatin1(family))) {
      families << QString::fromLatin1(family);
    }
  }
  font.setFamilies(families);
  QApplication::setFont(font);
}

}  // namespace driveflash::platform
