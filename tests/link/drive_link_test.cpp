#include "link/drive_link.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "bsl/scripted_port.h"
#include "platform/timing.h"
#include "run/outcome.h"
#include "run/timing_policy.h"

namespace driveflash::test {
namespace {

using platform::Micros;
using platform::ScopedVirtualClock;

constexpr double kDriveTimeout = 0.3;
constexpr const char* kIdentity = "01 03 00 00 00 01 84 0A";
constexpr const char* kReset = "01 06 00 5C 00 01 88 18";

// Modbus RTU CRC-16: reflected polynomial 0xA001, initial value 0xFFFF, sent low byte first.
std::uint16_t modbus_crc(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (const std::uint8_t b : bytes) {
    crc = static_cast<std::uint16_t>(crc ^ b);
    for (int bit = 0; bit < 8; ++bit) {
      const bool lsb = (crc & 1U) != 0;
      crc = static_cast<std::uint16_t>(crc >> 1);
      if (lsb) {
        crc = static_cast<std::uint16_t>(crc ^ 0xA001U);
      }
    }
  }
  return crc;
}

TEST(DriveLink, RequestsCarryTheirModbusCrc) {
  for (const auto& request : {kIdentityRequest, kResetRequest}) {
    const std::uint16_t crc = modbus_crc(std::span(request).first(6));
    EXPECT_EQ(request[6], crc & 0xFF);
    EXPECT_EQ(request[7], crc >> 8);
  }
  // The routine itself, on the textbook example of reading 2 registers from device 1.
  EXPECT_EQ(modbus_crc(hex_bytes("01 03 00 00 00 02")), 0x0BC4);
}

TEST(DriveLink, ResetRequestIsWrittenAndNothingIsRead) {
  ScopedVirtualClock clock;
  auto line = scripted({hex_bytes("01 06 00 5C 00 01 88 18")});
  ScriptedPort port(line, kDriveTimeout);
  EXPECT_EQ(ResetBMI(port.number()), 8);
  EXPECT_EQ(written(*line), std::vector<std::string>{kReset});
  EXPECT_EQ(line->pending_input(), 8U);
  EXPECT_EQ(platform::requested_waits(), Micros(0));
}

struct PingCase {
  const char* name;
  const char* first;   // answer to the first request, "" for none
  const char* second;  // answer to the second
  Micros first_delay;
  int result;
  std::size_t left;      // bytes left unread in the input queue
  const char* drive_id;  // what the run's record keeps of the deciding answer
};

const PingCase kPingCases[] = {
    {"both_answered", "01 03 02 12 34 B5 33", "01 03 02 12 34 B5 33", Micros(0), 0, 0, "0x1234"},
    {"only_second", "", "01 03 02 00 0A 38 43", Micros(0), 0, 0, "0x000A"},
    {"only_first", "01 03 02 12 34 B5 33", "", Micros(0), 242, 0, ""},
    {"silent", "", "", Micros(0), 242, 0, ""},
    {"any_seven_bytes_count", "", "FF FF FF FF FF FF FF", Micros(0), 0, 0, ""},
    // Counted, but a value the line may have garbled is not recorded.
    {"bad_crc_counts_unrecorded", "", "01 03 02 12 34 B5 34", Micros(0), 0, 0, ""},
    {"other_device_counts_unrecorded", "", "02 03 02 12 34 B5 00", Micros(0), 0, 0, ""},
    {"longer_answer_leaves_the_rest", "", "01 03 02 12 34 B5 33 AA BB", Micros(0), 0, 2, "0x1234"},
    {"exception_is_too_short", "", "01 83 02 C0 F1", Micros(0), 242, 0, ""},
    // No flush between the requests: a late tail of the first answer counts in the second.
    {"late_first_answer_adds_up", "01 03 02 12", "34 B5 33", Micros(600'000), 0, 0, "0x1234"},
};

TEST(DriveLink, PingDecidesOnTheSecondAnswer) {
  for (const PingCase& c : kPingCases) {
    SCOPED_TRACE(c.name);
    ScopedVirtualClock clock;
    auto line = std::make_shared<platform::ScriptedLine>();
    line->then(hex_bytes(c.first), c.first_delay);
    line->then(hex_bytes(c.second));
    ScriptedPort port(line, kDriveTimeout);
    run::begin(kTimingStandard);
    EXPECT_EQ(PingToDrv(port.number()), c.result);
    EXPECT_EQ(run::outcome_so_far(run::Result::kOk).drive_id, c.drive_id);
    EXPECT_EQ(written(*line), (std::vector<std::string>{kIdentity, kIdentity}));
    EXPECT_EQ(platform::requested_waits(), Micros(900'000));
    EXPECT_EQ(line->pending_input(), c.left);
  }
}

// 3.5 characters of 11 bits, rounded up, never under 1.75 ms (above 19200 baud: 1.75 ms).
TEST(DriveLink, ModbusSilenceFollowsTheBaudRate) {
  const std::pair<long, Micros> table[] = {{9600, Micros(4011)},  {19200, Micros(2006)},
                                           {38400, Micros(1750)}, {115200, Micros(1750)},
                                           {1200, Micros(32084)}, {0, Micros(1750)}};
  for (const auto& [baud, silence] : table) {
    EXPECT_EQ(modbus_silence(baud), silence) << baud;
  }
}

// The fast profile leaves out the waits around the identity requests but not the silence a
// Modbus slave needs before each: counted from the arrival of the last reply byte, or from the
// end of the request before on the wire (8 bytes at 115200 baud) where that is later.
TEST(DriveLink, FastRequestsKeepTheModbusSilence) {
  struct Case {
    const char* name;
    Micros first_delay;  // when the first answer arrives after the request
    Micros second_write;
  };
  const Micros request = platform::wire_time(8, 115200);
  const Case cases[] = {
      {"answer_at_once", Micros(0), request + Micros(1750)},
      {"answer_after_50_ms", Micros(50'000), Micros(50'000 + 1750)},
      // Nothing came: the request ended long before the read gave up.
      {"no_answer", Micros(-1), Micros(300'000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedVirtualClock clock;
    timingprofile = kTimingFast;
    auto line = std::make_shared<platform::ScriptedLine>();
    line->then(c.first_delay.count() < 0 ? Bytes{} : hex_bytes("01 03 02 12 34 B5 33"),
               c.first_delay.count() < 0 ? Micros(0) : c.first_delay);
    line->then(hex_bytes("01 03 02 12 34 B5 33"));
    line->then({});
    ScriptedPort port(line, kDriveTimeout);
    const Micros start = clock.get().now();
    EXPECT_EQ(PingToDrv(port.number()), 0);
    const Micros second = clock.get().now();
    EXPECT_EQ(ResetBMI(port.number()), 8);
    // The second answer came at once: the reset waits out the silence after its request.
    EXPECT_EQ(clock.get().now() - second, request + Micros(1750));
    EXPECT_EQ(second - start, c.second_write);
    timingprofile = kTimingStandard;
  }
}

// The rescue's probe: one request on a flushed line, and only a whole, sound answer counts.
TEST(DriveLink, ProbeTakesOnlyASoundIdentityAnswer) {
  const std::pair<const char*, int> table[] = {
      {"01 03 02 12 34 B5 33", 0},
      {"01 03 02 12 34 B5 34", 242},  // CRC
      {"00 01 03 02 12 34 B5", 242},  // a power cycle's 00 ahead of an answer
      {"01 83 02 C0 F1", 242},        // exception
      {"", 242},
  };
  for (const auto& [answer, result] : table) {
    SCOPED_TRACE(answer);
    ScopedVirtualClock clock;
    auto line = scripted({hex_bytes(answer)});
    ScriptedPort port(line, kDriveTimeout);
    EXPECT_EQ(probe_drive(port.number()), result);
    EXPECT_EQ(written(*line), std::vector<std::string>{kIdentity});
  }
}

}  // namespace
}  // namespace driveflash::test
