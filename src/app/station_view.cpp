#include "app/station_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>
#include <vector>

#include "app/job.h"
#include "app/station_launch.h"
#include "app/station_tile.h"
#include "app/station_tile_view.h"
#include "app/window_parts.h"
#include "platform/panels.h"
#include "platform/qt/qt_panels.h"
#include "platform/qt/qt_serial.h"
#include "platform/serial.h"
#include "run/run_context.h"

namespace driveflash::app {
namespace {

namespace pf = platform;

constexpr const char* kTitle = "工位视图 / Station view";
constexpr int kTileColumns = 2;
// When the program ends: every port's process was told to stop after the step under way, and a
// download under way runs to its end (a drive cut off half-way would be left in its loader);
// only a process that hangs past this is killed.
constexpr int kEndWaitMs = 120000;

// A port's process and its tile.
struct Port {
  TileState state;
  std::unique_ptr<QProcess> process;
  QByteArray out;
  QByteArray err;
  std::unique_ptr<TileView> tile;
};

class StationWindow final : public QWidget {
 public:
  explicit StationWindow(StationOptions options);
  // What the ports will run: the job, or the main window's settings as they are now.
  void describe_settings();
  ~StationWindow() override { end_all(0); }
  StationWindow(const StationWindow&) = delete;
  StationWindow& operator=(const StationWindow&) = delete;

  bool running() const {
    return std::ranges::any_of(ports_, [](const auto& p) { return p->state.running; });
  }
  void set_ports(const QStringList& ports);
  QStringList checked_ports() const;
  // Asks once, then tells every process to stop; returns whether it did.
  bool stop_all(bool ask);
  // Stops every process and waits up to `wait_ms` for each, killing what is left.
  void end_all(int wait_ms);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void add_port(const QString& text, bool checked);
  void add_typed_port();
  void start();
  StationLaunch launch_of() const;
  void launch(Port& port);
  void read(Port& port, bool err);
  void ended(Port& port, int code);
  static void show_tile(Port& port) {
    if (port.tile != nullptr) {
      port.tile->show(port.state);
    }
  }
  void refresh_summary();
  void remember_ports() const;

  StationOptions options_;
  QListWidget* list_ = nullptr;
  QLineEdit* typed_ = nullptr;
  QCheckBox* loop_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* stop_ = nullptr;
  QLabel* settings_ = nullptr;
  QLabel* summary_ = nullptr;
  QGridLayout* tiles_ = nullptr;
  std::vector<std::unique_ptr<Port>> ports_;
  bool close_when_done_ = false;
};

QPointer<StationWindow> g_view;

StationWindow::StationWindow(StationOptions options)
    : options_(std::move(options)),
      list_(new QListWidget),
      typed_(new QLineEdit),
      settings_(new QLabel),
      summary_(new QLabel) {
  setObjectName(QStringLiteral("stationView"));
  setWindowTitle(QString::fromUtf8(kTitle));
  setAttribute(Qt::WA_DeleteOnClose);
  setStyleSheet(QString::fromLatin1(kFocusStyle));
  auto* layout = new QVBoxLayout(this);

  settings_->setObjectName(QStringLiteral("stationSettings"));
  settings_->setWordWrap(true);
  layout->addWidget(settings_);

  auto* choose = new QHBoxLayout;
  list_->setObjectName(QStringLiteral("stationPorts"));
  list_->setMaximumHeight(120);
  choose->addWidget(list_, 1);
  auto* side = new QVBoxLayout;
  typed_->setObjectName(QStringLiteral("stationTypedPort"));
  typed_->setPlaceholderText(QStringLiteral("设备路径或 sim / device path or sim"));
  auto* add = new QPushButton(QStringLiteral("添加串口 / &Add port"));
  add->setObjectName(QStringLiteral("stationAddPort"));
  loop_ =
      new QCheckBox(QStringLiteral("连续：每个驱动器取下后等下一个 / Station &loop: wait for "
                                   "the next drive"));
  loop_->setObjectName(QStringLiteral("stationLoop"));
  loop_->setChecked(true);
  side->addWidget(typed_);
  side->addWidget(add);
  side->addWidget(loop_);
  side->addStretch(1);
  choose->addLayout(side);
  layout->addLayout(choose);

  auto* area = new QScrollArea;
  area->setWidgetResizable(true);
  auto* grid = new QWidget;
  tiles_ = new QGridLayout(grid);
  area->setWidget(grid);
  layout->addWidget(area, 1);

  summary_->setObjectName(QStringLiteral("stationSummary"));
  layout->addWidget(summary_);
  auto* buttons = new QHBoxLayout;
  start_ = new QPushButton(QStringLiteral("开始 / &Start"));
  start_->setObjectName(QStringLiteral("stationStart"));
  stop_ = new QPushButton(QStringLiteral("全部停止 / S&top all"));
  stop_->setObjectName(QStringLiteral("stationStop"));
  auto* close = new QPushButton(QStringLiteral("关闭 / &Close"));
  close->setObjectName(QStringLiteral("stationClose"));
  buttons->addStretch(1);
  for (QPushButton* b : {start_, stop_, close}) {
    buttons->addWidget(b);
  }
  layout->addLayout(buttons);

  QObject::connect(add, &QPushButton::clicked, [this] { add_typed_port(); });
  QObject::connect(typed_, &QLineEdit::returnPressed, [this] { add_typed_port(); });
  QObject::connect(start_, &QPushButton::clicked, [this] { start(); });
  QObject::connect(stop_, &QPushButton::clicked, [this] { stop_all(true); });
  QObject::connect(close, &QPushButton::clicked, [this] { this->close(); });

  // The ports the system reports, the virtual drive, and those chosen last time.
  pf::map_detected_ports();
  const QStringList remembered =
      options_.settings != nullptr
          ? options_.settings->value(QStringLiteral("station/ports")).toStringList()
          : QStringList();
  for (const pf::PortEntry& e : pf::port_table()) {
    if (e.is_real) {
      add_port(QString::fromStdString(e.name), false);
    }
  }
  add_port(QStringLiteral("sim"), false);
  set_ports(remembered);
  refresh_summary();
  stop_->setEnabled(false);
}

void StationWindow::add_port(const QString& text, bool checked) {
  auto* item = new QListWidgetItem(
      text == QStringLiteral("sim") ? QStringLiteral("sim — 虚拟驱动器 / virtual drive") : text);
  item->setData(Qt::UserRole, text);
  item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
  item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
  list_->addItem(item);
}

void StationWindow::add_typed_port() {
  const QString text = typed_->text().trimmed();
  if (text.isEmpty()) {
    return;
  }
  // A device twice would be two processes fighting over one line; each virtual drive is a
  // drive of its own.
  for (int i = 0; i < list_->count(); ++i) {
    QListWidgetItem* item = list_->item(i);
    if (item->data(Qt::UserRole).toString() == text && !text.startsWith(QStringLiteral("sim"))) {
      item->setCheckState(Qt::Checked);
      typed_->clear();
      return;
    }
  }
  add_port(text, true);
  typed_->clear();
}

void StationWindow::set_ports(const QStringList& ports) {
  for (int i = 0; i < list_->count(); ++i) {
    list_->item(i)->setCheckState(Qt::Unchecked);
  }
  for (const QString& port : ports) {
    QListWidgetItem* free = nullptr;
    for (int i = 0; i < list_->count() && free == nullptr; ++i) {
      QListWidgetItem* item = list_->item(i);
      if (item->data(Qt::UserRole).toString() == port && item->checkState() != Qt::Checked) {
        free = item;
      }
    }
    if (free != nullptr) {
      free->setCheckState(Qt::Checked);
    } else {
      add_port(port, true);
    }
  }
}

QStringList StationWindow::checked_ports() const {
  QStringList ports;
  for (int i = 0; i < list_->count(); ++i) {
    if (list_->item(i)->checkState() == Qt::Checked) {
      ports << list_->item(i)->data(Qt::UserRole).toString();
    }
  }
  return ports;
}

void StationWindow::remember_ports() const {
  if (options_.settings != nullptr) {
    options_.settings->setValue(QStringLiteral("station/ports"), checked_ports());
  }
}

StationLaunch StationWindow::launch_of() const {
  StationLaunch request;
  request.cli_program = options_.cli_program;
  request.run_log = options_.run_log;
  request.job_file = options_.job_file;
  request.ports = checked_ports();
  request.loop = loop_->isChecked();
  request.running = running();
  return request;
}

void StationWindow::start() {
  if (const QString why = station_refusal(launch_of()); !why.isEmpty()) {
    MessagePopup(kTitle, why.toStdString().c_str());
    return;
  }
  remember_ports();
  describe_settings();
  for (const auto& port : ports_) {
    delete port->tile->widget();
  }
  ports_.clear();
  const QStringList chosen = checked_ports();
  for (int i = 0; i < chosen.size(); ++i) {
    auto port = std::make_unique<Port>();
    port->state.port = chosen[i];
    port->tile = std::make_unique<TileView>(i, chosen[i]);
    tiles_->addWidget(port->tile->widget(), i / kTileColumns, i % kTileColumns);
    ports_.push_back(std::move(port));
  }
  for (const auto& port : ports_) {
    launch(*port);
  }
  start_->setEnabled(false);
  stop_->setEnabled(true);
  list_->setEnabled(false);
  refresh_summary();
}

void StationWindow::launch(Port& port) {
  port.process = std::make_unique<QProcess>();
  QProcess* p = port.process.get();
  p->setProgram(options_.cli_program);
  p->setArguments(station_arguments(launch_of(), port.state.port));
  QObject::connect(p, &QProcess::readyReadStandardOutput, [this, &port] { read(port, false); });
  QObject::connect(p, &QProcess::readyReadStandardError, [this, &port] { read(port, true); });
  QObject::connect(p, &QProcess::finished, [this, &port](int code, QProcess::ExitStatus how) {
    ended(port, how == QProcess::NormalExit ? code : -1);
  });
  QObject::connect(p, &QProcess::errorOccurred, [this, &port](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) {
      port.state.note = port.process->errorString();
      ended(port, -1);
    }
  });
  process_started(port.state);
  p->start();
  show_tile(port);
}

void StationWindow::read(Port& port, bool err) {
  QByteArray& buffer = err ? port.err : port.out;
  buffer += err ? port.process->readAllStandardError() : port.process->readAllStandardOutput();
  for (qsizetype nl = buffer.indexOf('\n'); nl >= 0; nl = buffer.indexOf('\n')) {
    const QByteArray line = buffer.left(nl).trimmed();
    buffer.remove(0, nl + 1);
    if (err) {
      if (!line.isEmpty()) {
        port.state.note = QString::fromUtf8(line).remove(QStringLiteral("driveflash-cli: "));
      }
    } else {
      apply_event(port.state, line);
    }
  }
  show_tile(port);
  refresh_summary();
}

void StationWindow::ended(Port& port, int code) {
  if (!port.state.running) {
    return;
  }
  read(port, false);
  read(port, true);
  process_ended(port.state, code);
  show_tile(port);
  refresh_summary();
  if (!running()) {
    start_->setEnabled(true);
    stop_->setEnabled(false);
    list_->setEnabled(true);
    if (close_when_done_) {
      QWidget::close();
    }
  }
}

void StationWindow::refresh_summary() {
  int ok = 0;
  int failed = 0;
  for (const auto& p : ports_) {
    ok += p->state.programmed();
    failed += p->state.failed();
  }
  summary_->setText(QStringLiteral("本批 / This batch: %1 成功 / programmed, %2 失败 / failed")
                        .arg(ok)
                        .arg(failed));
}

void StationWindow::describe_settings() {
  const std::optional<Job> job = locked_job();
  settings_->setText(
      job ? QStringLiteral("作业 / Job: %1 — %2 (SHA-256 %3)")
                .arg(QString::fromStdString(job->name), QString::fromStdString(job->firmware),
                     QString::fromStdString(job->sha256.substr(0, 12)))
          : QStringLiteral("固件 / Firmware: %1 — %2, 波特率 / baud %3 / %4, 时序 / timing %5")
                .arg(filename[0] != '\0' ? QFile::decodeName(filename)
                                         : QStringLiteral("未选择 / none chosen"),
                     ctrl_int(mainpanel, MAINPANEL_FILETYPE) == kFileTypeEhex
                         ? QStringLiteral("加密 HEX / encrypted hex")
                         : QStringLiteral("明文 HEX / Intel HEX"))
                .arg(ctrl_int(mainpanel, MAINPANEL_DRIVE_BAUD))
                .arg(ctrl_int(mainpanel, MAINPANEL_LOADER_BAUD))
                .arg(ctrl_int(mainpanel, MAINPANEL_TIMING) == kTimingFast
                         ? QStringLiteral("快速 / fast")
                         : QStringLiteral("标准 / standard")));
}

bool StationWindow::stop_all(bool ask) {
  if (!running()) {
    return true;
  }
  if (ask && ConfirmPopup("全部停止？ / Stop every port?",
                          "正在烧录的驱动器在当前步骤结束后停止，等待中的串口立即停止。\n"
                          "A drive being programmed stops after the step under way; a port "
                          "that waits stops at once.") == 0) {
    return false;
  }
  for (const auto& port : ports_) {
    if (port->state.running && !port->state.stopping) {
      port->state.stopping = true;
      // What the command line's parent process says to its children: "stop", then no more.
      port->process->write("stop\n");
      port->process->closeWriteChannel();
      show_tile(*port);
    }
  }
  stop_->setEnabled(false);
  return true;
}

void StationWindow::end_all(int wait_ms) {
  for (const auto& port : ports_) {
    if (port->process) {
      port->process->disconnect();  // the view may be going: nothing is shown any more
    }
  }
  stop_all(false);
  for (const auto& port : ports_) {
    if (port->process && port->process->state() != QProcess::NotRunning &&
        !port->process->waitForFinished(wait_ms)) {
      port->process->kill();
      port->process->waitForFinished(wait_ms);
    }
    port->state.running = false;
  }
}

void StationWindow::closeEvent(QCloseEvent* event) {
  if (running()) {
    event->ignore();
    if (stop_all(true)) {
      close_when_done_ = true;
    }
    return;
  }
  remember_ports();
  event->accept();
}

}  // namespace

void show_station_view(const StationOptions& options) {
  if (g_view == nullptr) {
    StationOptions given = options;
    if (given.cli_program.isEmpty()) {
      given.cli_program = find_cli_program();
    }
    g_view = new StationWindow(std::move(given));
    g_view->resize(720, 560);
    pf::fit_on_screen(g_view);
  }
  if (!g_view->running()) {
    g_view->describe_settings();
  }
  g_view->show();
  g_view->raise();
  g_view->activateWindow();
}

QWidget* station_view() {
  return g_view.data();
}

bool station_running() {
  return g_view != nullptr && g_view->running();
}

void set_station_ports(const QStringList& ports) {
  if (g_view != nullptr) {
    g_view->set_ports(ports);
  }
}

QStringList station_ports() {
  return g_view != nullptr ? g_view->checked_ports() : QStringList();
}

void close_station_view() {
  if (g_view != nullptr) {
    g_view->end_all(kEndWaitMs);
    delete g_view.data();
  }
}

QString find_cli_program() {
  const QString name = QStringLiteral("driveflash-cli");
  const QDir here(QCoreApplication::applicationDirPath());
  // Installed, the two programs lie side by side; in the build tree, in sibling folders.
  for (const QString& candidate :
       {here.filePath(name), here.filePath(QStringLiteral("../cli/") + name)}) {
    QString found = QStandardPaths::findExecutable(QFileInfo(candidate).fileName(),
                                                   {QFileInfo(candidate).absolutePath()});
    if (!found.isEmpty()) {
      return found;
    }
  }
  return {};
}

}  // namespace driveflash::app
