// The help window: the steps of a run, every failure line with what to do, rescue, the
// keyboard, the run log's place.
#include "app/help_window.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "app/run_log.h"
#include "bsl/frames.h"
#include "build_config.h"
#include "platform/qt/qt_panels.h"
#include "run/failures.h"

namespace driveflash::app {
namespace {

namespace pf = platform;

QPointer<QDialog> g_help;

QString help_html() {
  QString failures;
  const auto row = [&failures](const QString& line, const QString& meaning) {
    // The lines exactly as the status box shows them, their double blanks included.
    failures += QStringLiteral(
                    "<tr><td><code style=\"white-space:pre-wrap\">%1</code></td><td>%2</td></tr>")
                    .arg(line.toHtmlEscaped(), meaning);
  };
  for (const run::Failure& f : run::failure_table()) {
    QString line = QString::fromUtf8(f.line != nullptr ? f.line : error_message(f.status));
    if (f.cause == run::Cause::kRescueTimeout) {
      line += QStringLiteral("…");
    }
    row(line, QStringLiteral("%1<br>%2")
                  .arg(QString::fromUtf8(f.advice_zh).toHtmlEscaped(),
                       QString::fromUtf8(f.advice_en).toHtmlEscaped()));
  }
  return QStringLiteral(
             "<h3>烧录步骤 / The steps of a run</h3><ol>"
             "<li>选择文件类型和固件文件 / Choose the file kind and the firmware file.</li>"
             "<li>选择串口和两个波特率 / Choose the port and both baud rates.</li>"
             "<li>按“烧录” / Press Program: the drive is asked who it is and restarted into "
             "its bootstrap loader, the loader is sent, the flash erased and programmed page "
             "by page.</li>"
             "<li>结果显示在弹出窗口顶部：绿色成功，红色失败并附原因 / The result shows at the "
             "top of the popup: green for programmed, red for failed with the reason.</li>"
             "<li>按“OK”或 Esc 关闭弹出窗口 / Close the popup with OK or Escape.</li></ol>"
             "<p>救援 / Rescue: "
             "运行在驱动器重启之后中断时，驱动器停在引导模式，状态框最后一行会说明。"
             "打开“救援”，按“烧录”，再给驱动器断电重启。 / When a run ended after the drive's "
             "reset, the drive waits in its bootstrap loader (the last status line says so): "
             "switch Rescue on, press Program, then switch the drive off and on.</p>"
             "<p>重试 / Retries、校验 / Verify: "
             "线路有干扰时，重试把出错的扇区擦除后重新烧录；校验在烧录后把写入的每个字读回比较"
             "（64 KB 在 115200 波特下约多 37 秒），不符的扇区在重试次数内重新烧录，否则以 "
             "“Verification error” 结束。 / On a noisy line, Retries erase a sector whose frame "
             "failed and program it again; Verify reads every word written back after "
             "programming and compares it (about 37 s more for 64 KB at 115200 baud), programs "
             "a sector that differs again within the retries, and otherwise ends with "
             "“Verification error”.</p>"
             "<h3>失败信息 / Failure lines</h3><table border=1 cellpadding=3>%1</table>"
             "<h3>快捷键 / Keyboard</h3><ul>"
             "<li>Ctrl+P, F5: 烧录 / Program</li><li>F1: 帮助 / Help</li>"
             "<li>Esc: 关闭弹出窗口 / close the popup (during the download: stop after the "
             "step under way)</li>"
             "<li>Tab, Shift+Tab: 切换控件 / move between controls; Alt+下划线字母 / "
             "Alt+underlined letter: press that button; Space: press the focused button</li>"
             "</ul>"
             "<h3>运行记录 / Run log</h3><p><code>%2</code></p>"
             "<h3>虚拟驱动器 / Virtual drive</h3><p>串口 99 是内置的虚拟驱动器，可用来练习，"
             "不连接任何硬件。 / Port 99 is the built-in virtual drive, for practice without "
             "any hardware.</p>"
             "<p>driveflash %3</p>")
      .arg(failures, run_log_path().toHtmlEscaped(), QString::fromLatin1(DRIVEFLASH_VERSION));
}

}  // namespace

void show_help(const std::function<bool(const QString& folder)>& open_folder) {
  if (g_help != nullptr) {
    g_help->show();
    g_help->raise();
    g_help->activateWindow();
    return;
  }
  auto* dialog = new QDialog(pf::top_panel_window());
  dialog->setObjectName(QStringLiteral("helpWindow"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(
      QStringLiteral("帮助 / Help — driveflash %1").arg(QString::fromLatin1(DRIVEFLASH_VERSION)));
  auto* layout = new QVBoxLayout(dialog);
  auto* text = new QTextBrowser;
  text->setObjectName(QStringLiteral("helpText"));
  text->setHtml(help_html());
  text->setMinimumSize(640, 480);
  layout->addWidget(text);
  auto* folder_error = new QLabel;
  folder_error->setObjectName(QStringLiteral("openLogFolderError"));
  folder_error->setWordWrap(true);
  folder_error->setTextInteractionFlags(Qt::TextSelectableByMouse);
  folder_error->setStyleSheet(QStringLiteral("QLabel { color: #c62828; }"));
  folder_error->hide();
  layout->addWidget(folder_error);
  auto* buttons = new QDialogButtonBox;
  auto* folder = buttons->addButton(QStringLiteral("打开日志文件夹 / Open the &log folder"),
                                    QDialogButtonBox::ActionRole);
  folder->setObjectName(QStringLiteral("openLogFolder"));
  auto* close = buttons->addButton(QStringLiteral("关闭 / &Close"), QDialogButtonBox::RejectRole);
  close->setObjectName(QStringLiteral("closeHelp"));
  QObject::connect(folder, &QPushButton::clicked, [open_folder, folder_error] {
    const QString dir = QFileInfo(run_log_path()).absolutePath();
    if (!open_folder || open_folder(dir)) {
      folder_error->hide();
      return;
    }
    // The path is selectable, so that the operator can open it another way.
    folder_error->setText(
        QStringLiteral(
            "无法打开日志文件夹（没有文件管理器响应，或文件夹无法创建）：%1\nCannot open the "
            "log folder (no file manager answered, or the folder cannot be made): %1")
            .arg(QDir::toNativeSeparators(dir)));
    folder_error->show();
  });
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
  layout->addWidget(buttons);
  g_help = dialog;
  dialog->show();
  close->setFocus();
}

QWidget* help_window() {
  return g_help.data();
}

void close_help() {
  delete g_help.data();
}

QString run_log_path() {
  return QString::fromStdU16String(user_run_log_path().u16string());
}

}  // namespace driveflash::app
