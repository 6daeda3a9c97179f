#include "run/failures.h"

#include <array>

namespace driveflash::run {
namespace {

constexpr const char* kRescueFailedStart = "ERROR: 救援失败 / Rescue failed";

constexpr std::array kFailures{
    Failure{Cause::kRefused, 0, "文件类型错误！",
            "所选文件的扩展名与文件类型不符：*.hex 选 Intel HEX，*.ehex 选加密 HEX。",
            "The file's name does not fit the chosen kind: pick Intel HEX for *.hex, encrypted "
            "hex for *.ehex."},
    Failure{Cause::kPortOpen, 0, "ERROR: COM Port initialization failed!",
            "串口打不开；下一行说明原因。换一个串口，检查适配器，关闭占用串口的程序。",
            "The port cannot be opened; the next line says why. Pick another port, check the "
            "adapter, close any program holding the port."},
    Failure{Cause::kNoAnswer, 242, "未知型号的驱动器!",
            "驱动器没有应答：检查电源、接线、串口和驱动器波特率；上次运行未完成时，打开救援。",
            "No drive answered: check power, cable, port and the drive baud rate; after a run "
            "that did not finish, turn rescue on."},
    Failure{Cause::kLoaderBaud, 0, "新波特率设置失败！",
            "串口不接受引导波特率：选一个较低的引导波特率，再按烧录。",
            "The port refuses the loader baud rate: choose a lower one and press Program again."},
    Failure{Cause::kHandshake, 242, "ERROR: ASC BSL initialization failed!",
            "芯片没有进入引导程序：再按烧录；仍不行时打开救援，按烧录并给驱动器断电重启，或降低引导"
            "波特率。",
            "The chip did not enter its bootstrap loader: press Program again; if that fails, "
            "turn rescue on, press Program and power-cycle the drive, or lower the loader baud "
            "rate."},
    Failure{Cause::kLength, 242, "ERROR: Send application length failed!",
            "线路受干扰：打开救援，按烧录并给驱动器断电重启；或降低引导波特率。",
            "The line was disturbed: turn rescue on, press Program and power-cycle the drive; or "
            "lower the loader baud rate."},
    Failure{Cause::kLoaderFile, 241, "ERROR: Opening 'XMC1x_ASCLoader.hex' failed!",
            "程序旁的 XMC1300 "
            "文件夹里缺少或无法读取引导文件；放好后打开救援，按烧录并给驱动器断电重启。",
            "The loader file is missing from, or unreadable in, the XMC1300 folder beside the "
            "program; put it there, then turn rescue on, press Program and power-cycle the "
            "drive."},
    Failure{Cause::kStandInLoader, 241,
            "ERROR: 'XMC1x_ASCLoader.hex' is the virtual drive's stand-in, not the real loader! "
            "Put the vendor's loader file in XMC1300\\.",
            "XMC1300 "
            "文件夹里是虚拟驱动器的替身引导文件：换成厂商的引导文件；若驱动器已重启进入引导模式，"
            "再打开救援，按烧录并给驱动器断电重启。",
            "The XMC1300 folder holds the virtual drive's stand-in loader: put the vendor's "
            "loader file there; if the drive had already restarted into its bootstrap loader, "
            "then turn rescue on, press Program and power-cycle the drive."},
    Failure{Cause::kLoaderUpload, 247, "ERROR: Installing ASCLoader failed  - quitting...",
            "引导文件没有被接受：打开救援，按烧录并给驱动器断电重启；或降低引导波特率。",
            "The loader was not accepted: turn rescue on, press Program and power-cycle the "
            "drive; or lower the loader baud rate."},
    Failure{Cause::kDownload, 241, nullptr,
            "固件文件在烧录时无法读取或已改变：检查文件，重新选择后再烧录。",
            "The firmware file could not be read during the download, or changed: check it, "
            "choose it again and program again."},
    Failure{Cause::kDownload, 240, nullptr,
            "引导程序没有应答或应答无法识别：检查接线，降低引导波特率，打开救援后重试。",
            "The loader did not answer, or its answer made no sense: check the cable, lower the "
            "loader baud rate, turn rescue on and try again."},
    Failure{
        Cause::kDownload, 248, nullptr,
        "芯片的闪存受保护，多次重新下载仍被拒绝：此驱动器无法用本工具烧录，请联系厂家；它停在引导"
        "程序中。",
        "The chip's flash is protected and refused the download pass after pass: this drive "
        "cannot be programmed with this tool; ask the drive's maker. It waits in its loader."},
    Failure{
        Cause::kDownload, 249, nullptr,
        "写入的页校验不符（芯片编程后的自检，或校验时逐字读回发现闪存与写入的不同）：打开救援重试，"
        "线路有干扰时加上重试；反复出现时芯片闪存可能已损坏。",
        "A page did not verify: the chip's own check after programming, or the read-back of "
        "Verify found flash that differs from what was written. Try again with rescue (and "
        "retries on a noisy line); if it keeps happening, the chip's flash may be worn out."},
    Failure{Cause::kDownload, 250, nullptr,
            "页编程失败：打开救援重试；反复出现时芯片闪存可能已损坏。",
            "A page could not be programmed: try again with rescue; if it keeps happening, the "
            "chip's flash may be worn out."},
    Failure{Cause::kDownload, 251, nullptr,
            "扇区擦除失败：打开救援重试；反复出现时芯片闪存可能已损坏。",
            "A sector could not be erased: try again with rescue; if it keeps happening, the "
            "chip's flash may be worn out."},
    Failure{Cause::kDownload, 252, nullptr,
            "文件的数据超出此芯片的闪存：确认固件是为这个驱动器做的。",
            "The file has data outside this chip's flash: make sure the firmware is made for "
            "this drive."},
    Failure{Cause::kDownload, 253, nullptr,
            "数据在线路上出错：检查接线和屏蔽，降低引导波特率，打开救援重试。",
            "Data was garbled on the line: check the cable and its shielding, lower the loader "
            "baud rate, turn rescue on and try again."},
    Failure{Cause::kDownload, 254, nullptr,
            "引导程序不认识这个请求：XMC1300 文件夹里的引导文件可能不对。",
            "The loader did not know the request: the loader file in the XMC1300 folder may be "
            "the wrong one."},
    Failure{Cause::kDownload, 255, nullptr,
            "引导程序收到的帧类型不对，多半是线路干扰：检查接线，降低引导波特率，打开救援重试。",
            "The loader got a frame of an unknown kind, most likely line noise: check the cable, "
            "lower the loader baud rate, turn rescue on and try again."},
    Failure{
        Cause::kClosingHeader, 240,
        "ERROR: 结束帧没有完整发出 / The closing header did not wholly leave the port!",
        "驱动器没有收到启动固件的命令，仍停在引导程序：检查接线和适配器，然后打开救援，按烧录并给驱"
        "动器断电重启。",
        "The drive was not told to start its new firmware and still waits in its loader: check "
        "the cable and the adapter, then turn rescue on, press Program and power-cycle the "
        "drive."},
    Failure{Cause::kRescueTimeout, 0, kRescueFailedStart,
            "救援等待期间引导程序没有应答：检查接线和引导波特率，给驱动器断电重启后再试；固件正常运"
            "行的驱动器请关闭救援烧录。",
            "The bootstrap loader did not answer while rescue waited: check the cable and the "
            "loader baud rate and power-cycle the drive again; a drive whose firmware runs is "
            "programmed with rescue off."},
};

}  // namespace

std::span<const Failure> failure_table() {
  return kFailures;
}

const Failure* failure_of(Cause cause, int status) {
  for (const Failure& f : kFailures) {
    if (f.cause == cause && (cause != Cause::kDownload || f.status == status)) {
      return &f;
    }
  }
  return nullptr;
}

const char* failure_line(Cause cause) {
  const Failure* f = failure_of(cause);
  return f != nullptr && f->line != nullptr ? f->line : "";
}

}  // namespace driveflash::run
