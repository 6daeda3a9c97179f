// The help window: the steps of a run, every failure line with what to do, rescue, the
// keyboard, the run log's place.
#include "app/help_window.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "app/run_log.h"
#include "bsl/frames.h"
#include "build_config.h"
#include "platform/qt/qt_panels.h"

namespace driveflash::app {
namespace {

namespace pf = platform;

QPointer<QDialog> g_help;

QString help_html() {
  QString failures;
  const auto row = [&failures](const QString& line, const QString& meaning) {
    failures += QStringLiteral("<tr><td><code>%1</code></td><td>%2</td></tr>")
                    .arg(line.toHtmlEscaped(), meaning);
  };
  row(QStringLiteral("ERROR: COM Port initialization failed!"),
      QStringLiteral("串口打不开；下一行说明原因。换一个串口，检查适配器，关闭占用串口的程序。<br>"
                     "The port cannot be opened; the next line says why. Pick another port, "
                     "check the adapter, close any program holding the port."));
  row(QStringLiteral("未知型号的驱动器!"),
      QStringLiteral("驱动器没有应答：检查电源、接线、串口和驱动器波特率。<br>"
                     "No drive answered: check power, cable, port and the drive baud rate."));
  row(QStringLiteral("新波特率设置失败！"),
      QStringLiteral("串口不接受引导波特率：选一个较低的引导波特率。<br>"
                     "The port refuses the loader baud rate: choose a lower one."));
  row(QStringLiteral("ERROR: ASC BSL initialization failed!"),
      QStringLiteral("芯片没有进入引导程序：给驱动器断电重启后再试，或降低引导波特率。<br>"
                     "The chip did not enter its bootstrap loader: power-cycle the drive and "
                     "try again, or lower the loader baud rate."));
  row(QStringLiteral("ERROR: Send application length failed!"),
      QStringLiteral("线路受干扰：重试，或降低引导波特率。<br>"
                     "The line was disturbed: try again, or lower the loader baud rate."));
  row(QStringLiteral("ERROR: Opening 'XMC1x_ASCLoader.hex' failed!"),
      QStringLiteral("程序旁的 XMC1300 文件夹里缺少引导文件。<br>"
                     "The loader file is missing from the XMC1300 folder beside the program."));
  row(QStringLiteral("ERROR: Installing ASCLoader failed  - quitting..."),
      QStringLiteral("引导文件没有被接受：断电重启驱动器后重试。<br>"
                     "The loader was not accepted: power-cycle the drive and try again."));
  for (const int code : {kStatusInvalidHexfile, kStatusHexDownload, kStatusErase, kStatusProgram,
                         kStatusVerification, kStatusChecksum, kStatusInvalidAddress,
                         kStatusBootcode, kStatusUnknown}) {
    row(QString::fromLatin1(error_message(code)),
        QStringLiteral(
            "烧录固件时出错（代码 %1）：驱动器没有可用的固件。检查文件和类型，断电重启后重试。<br>"
            "Programming the firmware failed (code %1): the drive has no usable "
            "firmware now. Check the file and its kind, power-cycle, try again.")
            .arg(code));
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

void show_help(const std::function<void(const QString& folder)>& open_folder) {
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
  auto* buttons = new QDialogButtonBox;
  auto* folder = buttons->addButton(QStringLiteral("打开日志文件夹 / Open the &log folder"),
                                    QDialogButtonBox::ActionRole);
  folder->setObjectName(QStringLiteral("openLogFolder"));
  auto* close = buttons->addButton(QStringLiteral("关闭 / &Close"), QDialogButtonBox::RejectRole);
  close->setObjectName(QStringLiteral("closeHelp"));
  QObject::connect(folder, &QPushButton::clicked, [open_folder] {
    const QString dir = QFileInfo(run_log_path()).absolutePath();
    if (open_folder) {
      open_folder(dir);
    }
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
