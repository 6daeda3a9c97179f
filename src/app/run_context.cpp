#include "app/run_context.h"

#include "platform/timing.h"

std::atomic<int> runflag{0};
std::atomic<int> runstate{0};
int mainpanel = 0;
int prgpanel = 0;
int threadid = 0;
int comport = 0;
int baudrate = 0;
// NOLINTBEGIN(modernize-avoid-c-arrays): the run context keeps the design's C buffers
char filename[260] = {};
int filetype = 0;
const int loadersize = 4096;
unsigned char loaderimage[16384] = {};
char loaderpath[100] = {};
// NOLINTEND(modernize-avoid-c-arrays)
unsigned loaderaddr = 0;
unsigned loaderlen = 0;
std::atomic<int> okcount{0};
int blstatus = 0;
bl_download_request dlrequest{};
bl_header_block endheader{};
std::atomic<int> timingprofile{kTimingStandard};

bool wait_kept(RunWait kind) {
  if (timingprofile.load() != kTimingFast) {
    return true;
  }
  return kind == RunWait::kDriveState || kind == RunWait::kHandshake;
}

void run_delay(RunWait kind, double seconds) {
  if (wait_kept(kind)) {
    Delay(seconds);
  }
}

void run_sleep(RunWait kind, unsigned milliseconds) {
  if (wait_kept(kind)) {
    driveflash::Sleep(milliseconds);
  }
}

std::atomic<int> driveplace{kDriveInApplication};
std::atomic<int> foundinloader{0};

const char* left_in_loader_line(int place) {
  switch (place) {
    case kDriveInRomLoader:
      return kLeftInRomLoaderLine;
    case kDrivePastLoaderEntry:
      return kLeftPastLoaderEntryLine;
    default:
      return "";
  }
}

namespace {
constexpr std::string_view kNoAnswerStart = "端口 ";
}  // namespace

std::string no_answer_line(const std::string& port, int drive_baud, int loader_baud) {
  return std::string(kNoAnswerStart) + port + " 无应答 / No answer on port " + port +
         ", neither from the drive at " + std::to_string(drive_baud) +
         " baud nor from its bootstrap loader at " + std::to_string(loader_baud) +
         " baud: check the cable, the drive's power, the port and the drive's baud rate; after a "
         "run that did not finish, try rescue.";
}

bool is_advice_line(std::string_view line) {
  return line == kLeftInRomLoaderLine || line == kLeftPastLoaderEntryLine ||
         line == kTryStandardLine || line.starts_with(kNoAnswerStart);
}
