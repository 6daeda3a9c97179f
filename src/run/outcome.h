// How a run came out, as one record that every front end reads: the command line's table,
// JSON and CSV, the window's verdict and its row in the run log. The worker fills it in as
// the run goes and publishes it once, just before the run comes to rest (or returns after a
// stop); nothing has to read the status box to learn what went wrong.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "run/timing_policy.h"

// Where the run has left the drive, as far as it can tell: its firmware runs (or it was never
// told to reset), its ROM loader waits for the entry handshake, or the chip went past the
// handshake (length, loader upload, secondary loader) and only switching it off and on brings
// the ROM loader back. Set by the worker, read by the stop confirmation and the front ends.
inline constexpr int kDriveInApplication = 0;
inline constexpr int kDriveInRomLoader = 1;
inline constexpr int kDrivePastLoaderEntry = 2;
extern std::atomic<int> driveplace;
// 1 when this run found the drive already waiting in its bootstrap loader and went on.
extern std::atomic<int> foundinloader;
// Seconds a rescue waits when the panel has no such setting.
inline constexpr int kDefaultRescueWait = 120;

// The lines the run ends with while the drive is left in its loader, and the line of a run
// that found it there.
inline constexpr const char* kLeftInRomLoaderLine =
    "驱动器停在引导模式：再按烧录即可继续 / The drive waits in its bootstrap loader: press "
    "Program again and it is found and programmed (if not, turn rescue on and switch the drive "
    "off and on).";
inline constexpr const char* kLeftPastLoaderEntryLine =
    "驱动器停在引导模式：请打开救援，按烧录，再关闭驱动器电源并打开 / The drive waits in its "
    "bootstrap loader: turn rescue on, press Program, then switch the drive off and on again.";
inline constexpr const char* kFoundInLoaderLine =
    "驱动器正在引导模式，继续烧录 / The drive is waiting in its bootstrap loader (an earlier run "
    "did not finish); programming goes on.";
inline constexpr const char* kPowerCycleLine =
    "请关闭驱动器电源再打开 / Switch the drive off and on again…";
// A rescue that finds the drive's firmware running programs it the usual way.
inline constexpr const char* kFirmwareAnsweredLine =
    "驱动器固件有应答，按正常方式烧录 / The drive's firmware answered: it is programmed the usual "
    "way.";
// A rescue whose port went away (a USB adapter powered by the drive) opens it again.
inline constexpr const char* kPortLostLine =
    "串口断开了，正在重新打开 / The port went away (an adapter powered by the drive?); it is "
    "opened again as soon as it is back.";
// What to tell the operator about a drive left at `place` ("" while its firmware runs).
const char* left_in_loader_line(int place);
// The line after "未知型号的驱动器!" when neither the drive nor its loader answered.
std::string no_answer_line(const std::string& port, int drive_baud, int loader_baud);

namespace driveflash::run {

enum class Result : std::uint8_t { kOk, kFailed, kStopped, kRefused };

// What ended a run that did not program the drive: one per failing step of the run.
enum class Cause : std::uint8_t {
  kNone,           // programmed
  kPortOpen,       // the port did not open at the drive baud rate
  kNoAnswer,       // neither the drive's firmware nor its loader answered
  kLoaderBaud,     // the port did not reopen at the loader baud rate
  kHandshake,      // the ROM loader did not answer the entry handshake
  kLength,         // the loader length was not accepted
  kLoaderFile,     // no loader image could be built from the loader file
  kStandInLoader,  // the virtual drive's stand-in loader was about to go to a real chip
  kLoaderUpload,   // the secondary loader was not accepted
  kDownload,       // the download ended on a status code (the file's check included)
  kRescueTimeout,  // rescue waited in vain for the ROM loader
  kStopped,        // the operator stopped the run before it came to rest
  kRefused,        // Program refused to start (a front end's own check)
  kFlashDiffers,   // programmed, but the virtual drive's flash is not the file's
  kClosingHeader,  // programmed, but the closing header did not wholly leave the port
};
inline constexpr int kCauseCount = 15;

// Where the drive was left, as the outcome reports it.
enum class DrivePlace : std::uint8_t { kFirmware, kRomLoader, kSecondaryLoader };

// What reading the flash back after the download found: nothing was read (not asked for, or the
// run ended before it), every word equal to what was sent, a word that stayed different, or a
// read-back that a fault or a stop cut short.
enum class ReadBack : std::uint8_t { kOff, kVerified, kDiffered, kIncomplete };

struct Outcome {
  Result result = Result::kRefused;
  Cause cause = Cause::kNone;
  int status = 0;                   // the failing step's status code (0 when programmed)
  std::string line;                 // the status line that says what went wrong
  std::string reason;               // the line after it that says why, where there is one
  std::vector<std::string> advice;  // what the run told the operator to do next
  DrivePlace drive_left = DrivePlace::kFirmware;
  bool found_in_loader = false;  // the drive was found waiting in its loader and programmed on
  int timing = kTimingStandard;
  int retries_used = 0;
  ReadBack read_back = ReadBack::kOff;
  std::uint64_t read_back_words = 0;  // flash words read back equal to what was sent
  std::uint64_t pages = 0;            // data frames the loader took, this run
  std::uint64_t bytes = 0;            // data bytes of the firmware that was read
  double seconds = 0;                 // from Program to rest
  std::string sha256;    // lower-case hex of the firmware file's bytes as the download read
                         // them; "" when the download never read the file
  std::string drive_id;  // the drive's answer to the identity request that decided, as
                         // "0x" and its register value in hex; "" when none came whole

  bool programmed() const { return result == Result::kOk; }
};

const char* result_name(Result result);          // ok, failed, stopped, refused
const char* drive_place_name(DrivePlace place);  // firmware, rom-loader, secondary-loader
const char* cause_name(Cause cause);             // port-open, no-answer, ...
const char* read_back_name(ReadBack read_back);  // off, verified, differed, incomplete
// The place the run's driveplace value stands for.
DrivePlace drive_place_of(int place);

// The worker's side. begin() starts a fresh record; the others fill it in; finish() stamps
// the seconds and where the drive is and publishes it. All of them are safe to call from the
// worker while a front end reads the last published record.
void begin(int timing);
void fail(Cause cause, int status, std::string line);
void set_reason(std::string line);
void add_advice(std::string line);
void note_firmware(std::uint64_t bytes, std::string sha256);
void note_drive_id(std::string id);
void count_page();
void count_retry();
// The read-back as it stands, and the words it has found equal so far.
void note_read_back(ReadBack read_back, std::uint64_t words);
void finish(Result result);

// The record of the last run that finished (a default one before any has).
Outcome last_outcome();
// The record of the run under way as it stands, stamped as if it ended now with `result`: what
// a front end that cannot wait for the worker any longer keeps of it. Publishes nothing.
Outcome outcome_so_far(Result result);
// How many runs have finished since the program started; a front end that knows the count
// before it pressed Program can tell its own run's record.
std::uint64_t finished_runs();
// A front end's own refusal: published as the run's record, so that every reader finds it
// where it finds the others.
void publish_refusal(std::string why);

// What a record of a run that did not program the drive says about it on one line: the line
// that says what went wrong with the reason after it, or, for a stop, that it was stopped and
// where the drive waits. "" for a programmed drive.
std::string ending_text(const Outcome& outcome);
inline constexpr const char* kStoppedText = "已停止 / Stopped";

}  // namespace driveflash::run
