// The programming run: a loop over seven states, one action per pass, so that closing the
// popup (which clears runflag) is noticed between any two steps.
#include <cstdio>
#include <span>

#include "app/run_context.h"
#include "bsl/asc_bsl.h"
#include "bsl/frames.h"
#include "image/intel_hex.h"
#include "image/stand_in_loader.h"
#include "link/drive_link.h"
#include "platform/panels.h"
#include "platform/serial.h"
#include "platform/sound.h"
#include "platform/timing.h"

namespace {

// Port settings of both opens: no parity, 8 data bits, 1 stop bit, 512-byte queues.
constexpr int kParity = 0;
constexpr int kDataBits = 8;
constexpr int kStopBits = 1;
constexpr int kQueueSize = 512;
constexpr double kDriveTimeout = 0.3;
constexpr double kLoaderTimeout = 1.0;
constexpr std::uint32_t kEndHeaderWord = 0xF8C1;

// Whether this worker holds the port open, so that a run stopped half-way still releases it.
bool g_port_open = false;

void append(const char* line) {
  InsertTextBoxLine(prgpanel, PRGPANEL_STATUS, -1, line);
}

bool open_port() {
  g_port_open = OpenComConfig(comport, "", baudrate, kParity, kDataBits, kStopBits, kQueueSize,
                              kQueueSize) == 0;
  return g_port_open;
}

void close_port() {
  if (g_port_open) {
    CloseCom(comport);
    g_port_open = false;
  }
}

void fail(const char* line, double wait) {
  append(line);
  Delay(wait);
  close_port();
  runstate = kStateFinished;
}

void state_open() {
  append("初始化中...");
  Delay(0.1);
  GetCtrlVal(mainpanel, MAINPANEL_COMPORT, &comport);
  GetCtrlVal(mainpanel, MAINPANEL_DRIVE_BAUD, &baudrate);
  if (!open_port()) {
    fail("ERROR: COM Port initialization failed!", 0.2);
    return;
  }
  SetComTime(comport, kDriveTimeout);
  FlushInQ(comport);
  FlushOutQ(comport);
  runstate = kStateDrive;
}

void state_drive() {
  if (PingToDrv(comport) != 0) {
    fail("未知型号的驱动器!", 0.2);
    return;
  }
  append("驱动器连接成功!");
  Delay(0.2);
  ResetBMI(comport);
  Delay(0.5);
  close_port();
  Delay(0.2);
  GetCtrlVal(mainpanel, MAINPANEL_LOADER_BAUD, &baudrate);
  if (!open_port()) {
    fail("新波特率设置失败！", 0.2);
    return;
  }
  // The loader's replies can take a while (a sector erase); the queues stay as they are.
  SetComTime(comport, kLoaderTimeout);
  runstate = kStateHandshake;
}

void state_handshake() {
  if (init_ASC_BSL(comport) != 0) {
    fail("ERROR: ASC BSL initialization failed!", 0.2);
    return;
  }
  append("ASC BSL initialization OK!");
  Delay(0.2);
  runstate = kStateLength;
}

void state_length() {
  if (send_4_length(comport, static_cast<std::uint32_t>(loadersize)) != 0) {
    fail("ERROR: Send application length failed!", 0.2);
    return;
  }
  append("Send application length OK!");
  Delay(0.2);
  runstate = kStateLoader;
}

void state_loader() {
  // NOLINTNEXTLINE(cert-err33-c): two constants, 27 characters, in the 100-byte buffer
  std::snprintf(loaderpath, sizeof loaderpath, "%s%s", kLoaderDirectory, kLoaderFileName);
  if (make_flash_image(loaderpath, loaderimage, static_cast<unsigned>(loadersize), &loaderaddr,
                       &loaderlen) != 0) {
    fail("ERROR: Opening 'XMC1x_ASCLoader.hex' failed!", 0.2);
    return;
  }
  // The repository's stand-in loader only runs on the virtual drive; a real chip would be
  // left in its bootstrap loader with nothing sensible to execute.
  if (driveflash::platform::port_is_real(comport) &&
      driveflash::image::is_stand_in_loader(std::span(loaderimage, loaderimage + loadersize))) {
    fail(
        "ERROR: 'XMC1x_ASCLoader.hex' is the virtual drive's stand-in, not the real loader! "
        "Put the vendor's loader file in XMC1300\\.",
        0.2);
    return;
  }
  append("Sending XMC1x_ASCLoader...");
  Delay(0.2);
  if (send_ASCloader(comport, loaderimage, static_cast<std::uint32_t>(loadersize)) != 0) {
    fail("ERROR: Installing ASCLoader failed  - quitting...", 0.5);
    return;
  }
  append("Bootload success!");
  Delay(0.1);
  runstate = kStateDownload;
}

void state_download() {
  SetCtrlAttribute(prgpanel, PRGPANEL_OK, ATTR_DIMMED, 1);
  SetCtrlAttribute(prgpanel, PRGPANEL_PROGRESS, ATTR_VISIBLE, 1);
  dlrequest = bl_download_request{1, 4, 1, 0, filename};
  blstatus = bl_download_pflash(comport, dlrequest, filetype);
  if (blstatus == kStatusProtection) {
    return;  // the whole download starts over on the next pass
  }
  if (blstatus != kStatusOk) {
    append(error_message(blstatus));
    close_port();
    runstate = kStateFinished;
    return;
  }
  endheader = bl_header_block{};
  endheader.mode = kModeRun;
  endheader.word1 = kEndHeaderWord;
  blstatus = bl_send_header(comport, endheader);
  blstatus = 0;
  driveflash::sndPlaySoundA(kSoundFile, driveflash::kSoundLoop);
  ++okcount;
  SetCtrlAttribute(mainpanel, MAINPANEL_COUNTER, ATTR_CTRL_VAL, okcount.load());
  runstate = kStateFinished;
  close_port();
}

void state_finished() {
  SetCtrlAttribute(prgpanel, PRGPANEL_OK, ATTR_DIMMED, 0);
  SetCtrlAttribute(prgpanel, PRGPANEL_PROGRESS, ATTR_VISIBLE, 0);
  Delay(0.2);
}

}  // namespace

int ProgrammingThread(void* /*data*/) {
  g_port_open = false;
  while (runflag.load() != 0) {
    switch (runstate.load()) {
      case kStateOpen:
        state_open();
        break;
      case kStateDrive:
        state_drive();
        break;
      case kStateHandshake:
        state_handshake();
        break;
      case kStateLength:
        state_length();
        break;
      case kStateLoader:
        state_loader();
        break;
      case kStateDownload:
        state_download();
        break;
      default:
        state_finished();
        break;
    }
  }
  // Stopped half-way: release the port rather than leave it to the next run.
  close_port();
  return 0;
}
