#include "bsl/frames.h"

#include <cstdio>
#include <initializer_list>

#include "platform/serial.h"
#include "platform/timing.h"
#include "run/run_context.h"

namespace driveflash::bsl {
namespace {

// The loader answers a mode-4 header with 0x01 0x04, the address and the word (10 bytes).
constexpr int kReadReplySize = 10;
constexpr std::size_t kReplyBufferSize = 16;
constexpr std::uint8_t kReadReplyTag0 = 0x01;
constexpr std::uint8_t kReadReplyTag1 = 0x04;
// A page takes the loader longer to handle than a header, so its reply is awaited a moment.
constexpr double kDataReplyDelaySeconds = 0.05;
constexpr unsigned kReadSettleMs = 20;

constexpr std::uint8_t xor_between(const std::uint8_t* first, const std::uint8_t* last) {
  std::uint8_t sum = 0;
  for (; first != last; ++first) {
    sum = static_cast<std::uint8_t>(sum ^ *first);
  }
  return sum;
}

template <std::size_t N>
constexpr void seal(std::array<std::uint8_t, N>& frame) {
  frame[N - 1] = xor_between(frame.data() + 1, frame.data() + N - 1);
}

constexpr void put_be32(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

constexpr std::array<std::uint8_t, kHeaderFrameSize> header_frame(const bl_header_block& h) {
  std::array<std::uint8_t, kHeaderFrameSize> frame{};
  frame[0] = kBlockHeader;
  frame[1] = h.mode;
  const bool extended = h.mode == kModeExtended;
  put_be32(&frame[2], extended ? h.ext_word1 : h.word1);
  put_be32(&frame[6], extended ? h.ext_word2 : h.word2);
  if (extended) {
    frame[10] = h.ext_byte;
    frame[11] = static_cast<std::uint8_t>(h.ext_half >> 8);
    frame[12] = static_cast<std::uint8_t>(h.ext_half);
  }
  seal(frame);
  return frame;
}

constexpr std::array<std::uint8_t, kDataFrameSize> data_frame(const bl_data_block& b) {
  std::array<std::uint8_t, kDataFrameSize> frame{};
  frame[0] = kBlockData;
  frame[1] = b.mode;
  if (b.data != nullptr) {
    for (std::size_t i = 0; i < kPageSize; ++i) {
      frame[2 + i] = b.data[i];
    }
  }
  seal(frame);
  return frame;
}

constexpr std::array<std::uint8_t, kEotFrameSize> eot_frame() {
  std::array<std::uint8_t, kEotFrameSize> frame{};
  frame[0] = kBlockEot;
  seal(frame);
  return frame;
}

// Every reply byte maps to a status: the accepted acknowledgements to success, the listed
// error bytes to themselves, all else, silence's 0x00 included, to "Unknown error".
using ReplyTable = std::array<int, 256>;

constexpr ReplyTable reply_table(std::initializer_list<std::uint8_t> acks,
                                 std::initializer_list<int> passed) {
  ReplyTable table{};
  table.fill(kStatusUnknown);
  for (const int code : passed) {
    table[static_cast<std::size_t>(code)] = code;
  }
  for (const std::uint8_t ack : acks) {
    table[ack] = kStatusOk;
  }
  return table;
}

constexpr std::initializer_list<int> kHeaderErrors = {
    kStatusBlockType, kStatusInvalidMode, kStatusChecksum,  kStatusInvalidAddress,
    kStatusErase,     kStatusProgram,     kStatusProtection};

constexpr ReplyTable kHeaderReplies = reply_table({kReplyOk, kReplyHeaderOk}, kHeaderErrors);
// A data frame is judged on its own error set: verification (0xF9) can only follow a
// written page, while mode, erase and protection errors belong to headers and are not
// passed through after a page.
constexpr ReplyTable kDataReplies =
    reply_table({kReplyOk}, {kStatusBlockType, kStatusChecksum, kStatusInvalidAddress,
                             kStatusProgram, kStatusVerification});
constexpr ReplyTable kEotReplies = reply_table({kReplyOk}, kHeaderErrors);
// After a read request only the read block itself is a success, never an acknowledgement.
constexpr ReplyTable kReadReplies = reply_table({}, kHeaderErrors);

static_assert(header_frame({.mode = kModeRun, .word1 = 0xF8C1})[15] == 0x38);
static_assert(header_frame({.mode = kModeErase, .word1 = 0x10001000, .word2 = 0x1000})[15] == 0x13);
static_assert(header_frame({.mode = kModeRead, .word1 = 0x10001000})[15] == 0x04);
static_assert(eot_frame()[15] == 0x00);
static_assert(kHeaderReplies[0x00] == kStatusUnknown && kDataReplies[0xF9] == 249 &&
              kEotReplies[0x50] == kStatusUnknown && kReadReplies[0x55] == kStatusUnknown);

// Returns whether the whole frame was taken for sending. A short or failed write of a frame
// that is answered shows up as a missing or wrong reply anyway.
template <std::size_t N>
bool write_frame(int port, const std::array<std::uint8_t, N>& frame) {
  // A stray byte left from an earlier exchange would be taken for this frame's reply and shift
  // every later one, so that a failing frame could read as a success: each frame starts from an
  // empty input queue.
  FlushInQ(port);
  return ComWrt(port, reinterpret_cast<const char*>(frame.data()), static_cast<int>(N)) ==
         static_cast<int>(N);
}

// The reply byte is cleared first, so a loader that stays silent reads as 0x00.
std::uint8_t read_reply_byte(int port) {
  char reply = 0;
  ComRd(port, &reply, 1);
  return static_cast<std::uint8_t>(reply);
}

int read_flash_word(int port) {
  std::array<std::uint8_t, kReplyBufferSize> r{};
  const int got = ComRd(port, reinterpret_cast<char*>(r.data()), kReadReplySize);
  // Wait for any tail of the block before discarding it, so that no byte of this reply is
  // taken for the answer to the next frame.
  Sleep(kReadSettleMs);
  FlushInQ(port);

  // A block cut short would show cleared bytes as flash content; only a whole one counts.
  if (got == kReadReplySize && r[0] == kReadReplyTag0 && r[1] == kReadReplyTag1) {
    std::printf("\nWord data read from location: 0x%02X%02X%02X%02X is 0x%02X%02X%02X%02X\n", r[2],
                r[3], r[4], r[5], r[6], r[7], r[8], r[9]);
    return kStatusOk;
  }
  return kReadReplies[r[0]];
}

}  // namespace

std::uint8_t frame_checksum(std::span<const std::uint8_t> frame) {
  if (frame.size() < 2) {
    return 0;
  }
  return xor_between(frame.data() + 1, frame.data() + frame.size() - 1);
}

std::array<std::uint8_t, kHeaderFrameSize> make_header_frame(const bl_header_block& header) {
  return header_frame(header);
}

std::array<std::uint8_t, kDataFrameSize> make_data_frame(const bl_data_block& block) {
  return data_frame(block);
}

std::array<std::uint8_t, kEotFrameSize> make_eot_frame() {
  return eot_frame();
}

int judge_header_reply(std::uint8_t reply) {
  return kHeaderReplies[reply];
}
int judge_data_reply(std::uint8_t reply) {
  return kDataReplies[reply];
}
int judge_eot_reply(std::uint8_t reply) {
  return kEotReplies[reply];
}
int judge_read_reply(std::uint8_t reply) {
  return kReadReplies[reply];
}

}  // namespace driveflash::bsl

namespace bsl = driveflash::bsl;

int bl_send_header(int port, bl_header_block header) {
  const bool whole = bsl::write_frame(port, bsl::header_frame(header));
  if (header.mode == kModeRead) {
    return bsl::read_flash_word(port);
  }
  if (header.mode == kModeRun) {
    // The loader jumps to the programmed firmware and says nothing more, so the write's count
    // is all there is to tell whether the drive was told to leave its loader.
    return whole ? kStatusOk : kStatusUnknown;
  }
  return bsl::judge_header_reply(bsl::read_reply_byte(port));
}

int bl_send_data(int port, bl_data_block block) {
  if (block.data == nullptr) {
    // Nothing to send: a page of invented bytes must never reach the flash.
    return kStatusUnknown;
  }
  bsl::write_frame(port, bsl::data_frame(block));
  run_delay(RunWait::kReplyLead, bsl::kDataReplyDelaySeconds);
  return bsl::judge_data_reply(bsl::read_reply_byte(port));
}

int bl_send_EOT(int port) {
  bsl::write_frame(port, bsl::eot_frame());
  return bsl::judge_eot_reply(bsl::read_reply_byte(port));
}

const char* error_message(int code) {
  switch (code) {
    case kStatusOk:
      return "No error";
    case kStatusCanBus:
      return "CAN Bus error";
    case kStatusInvalidHexfile:
      return "Invalid hexfile";
    case kStatusBslInit:
      return "BSL-Init error";
    case kStatusComInit:
      return "COM-Init error";
    case kStatusHexDownload:
      return "hexfile download error";
    case kStatusBootcode:
      return "Bootcode error";
    case kStatusProtection:
      return "Protection error";
    case kStatusVerification:
      return "Verification error";
    case kStatusProgram:
      return "Program error";
    case kStatusErase:
      return "Erase error";
    case kStatusInvalidAddress:
      return "Invalid address";
    case kStatusChecksum:
      return "Checksum error";
    case kStatusInvalidMode:
      return "Invalid mode";
    case kStatusBlockType:
      return "Block type error";
    default:
      return "Unknown error";
  }
}
