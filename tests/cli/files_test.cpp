// 'check' and 'ehex' on generated firmware, hostile files and the bundled samples.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "cli/arguments.h"
#include "cli/cli_support.h"
#include "cli/commands.h"
#include "crypto/aes.h"
#include "image/download.h"
#include "run/run_context.h"

namespace driveflash::cli {
namespace {

using test::Bytes;
using test::record;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome run(Arguments a) {
  std::ostringstream out, err;
  const int status = a.command == Command::Check ? run_check(a, out, err) : run_ehex(a, out, err);
  return {status, out.str(), err.str()};
}

Outcome check(const std::string& file, std::optional<int> kind = {}, bool json = false) {
  return run({.command = Command::Check, .file = file, .kind = kind, .json = json});
}

Outcome ehex(Command c, const std::string& in, const std::string& out_file, bool force = false) {
  return run({.command = c, .file = in, .output = out_file, .force = force});
}

std::string lines(std::initializer_list<std::string> records) {
  std::string text;
  for (const std::string& r : records) {
    text += r + "\r\n";
  }
  return text;
}

const std::string kUpper1000 = record(4, 0, {0x10, 0x00});
const std::string kEof = record(1, 0, {});

struct CheckCase {
  const char* name;
  std::string content;
  int status;
  std::vector<std::string> expected;  // in the text report
};

TEST(Check, ReportsWhatWouldBeSentAndRefusesWhatTheDownloadRefuses) {
  test::TempDir dir;
  const std::vector<CheckCase> table = {
      {"good.hex",
       test::hex_text(0x10001000, test::filler(1024, 1)),
       0,
       {"Intel HEX, 66 lines", "data: 1024 bytes in 1 range", "0x10001000-0x100013FF",
        "regions: 1, pages: 4, end-of-transmission frames: 1", "progress total: 66 records",
        "fits: devices with 8 KB", "would program"}},
      // Nothing to program after an erase, a record that does not read as written: refused.
      {"empty.hex", "", 2, {"0 lines", "refused: the file holds no data record"}},
      {"eof-only.hex", lines({kEof, ""}), 2, {"refused: the file holds no data record"}},
      {"checksum.hex",
       lines({kUpper1000, record(0, 0x1000, {1, 2, 3}, 0x42), kEof}),
       2,
       {"error: record 2: checksum error", "refused: record 2: checksum error"}},
      {"nonhex.hex",
       lines({kUpper1000, ":0310000001G203E6", kEof}),
       2,
       {"refused: record 2: character that is not a hex digit"}},
      {"backwards.hex",
       lines({kUpper1000, record(0, 0x1100, {1}), record(0, 0x1000, {2}), kEof}),
       0,
       {"warning: records out of address order", "progress total: 2 bytes", "would program"}},
      // The erase would go first and the loader refuse the page: refused before the drive.
      {"outside.hex",
       lines({record(4, 0, {0x20, 0x00}), record(0, 0, {1, 2}), kEof}),
       2,
       {"error: data outside the flash (0x10001000-0x10032FFF): 0x20000000-0x20000001",
        "refused: record 2, address 0x20000000: data outside the flash"}},
      {"above.hex",
       lines({record(4, 0, {0x10, 0x03}), record(0, 0x2FFF, {1, 2}), kEof}),
       2,
       {"error: data outside the flash (0x10001000-0x10032FFF): 0x10033000-0x10033000",
        "refused: record 2, address 0x10033000: data outside the flash"}},
      {"below.hex",
       lines({kUpper1000, record(0, 0x0FFF, {1, 2}), kEof}),
       2,
       {"refused: record 2, address 0x10000FFF: data outside the flash"}},
      {"top.hex",
       lines({record(4, 0, {0x10, 0x03}), record(0, 0x2FFE, {1, 2}), kEof}),
       0,
       {"fits: devices with 200 KB", "would program"}},
      // Crosses the top of the eight sectors: the sector above is erased too.
      {"high.hex",
       test::hex_text(0x10008F00, test::filler(512, 2)),
       0,
       {"erase: 9 sectors of 4 KB: 0-8", "fits: devices with 64 KB"}},
      {"far.hex",
       lines({kUpper1000, record(0, 0x1000, {1}), record(4, 0, {0x10, 0x01}),
              record(0, 0x0FFF, {1, 2}), record(0, 0x4000, {3}), kEof}),
       0,
       {"erase: 11 sectors of 4 KB: 0-7, 15-16, 19"}},
      {"text.hex",
       "hello\r\n",
       2,
       {"error: record 1: not an Intel HEX record", "refused: record 1"}},
      {"cut.hex",
       lines({kUpper1000, ":10100000010203"}),
       2,
       {"error: record 2: record shorter than its byte count"}},
      {"long.hex", std::string(700, 'A') + "\r\n", 2, {"line too long"}},
      {"conflict.hex",
       lines({kUpper1000, record(0, 0x1000, {1}), record(0, 0x1000, {2}), kEof}),
       2,
       {"different values to one address"}},
      {"wrongkey.ehex", std::string(64, '\x5A'), 2, {"refused: record 1: not an Intel HEX record"}},
      {"odd.ehex", std::string(20, '\0'), 2, {"refused"}},
  };
  for (const CheckCase& c : table) {
    SCOPED_TRACE(c.name);
    const Outcome o = check(dir.write(c.name, c.content));
    EXPECT_EQ(o.status, c.status) << o.out << o.err;
    for (const std::string& e : c.expected) {
      EXPECT_NE(o.out.find(e), std::string::npos) << "missing '" << e << "' in\n" << o.out;
    }
    EXPECT_EQ(o.err.empty(), c.status == 0) << o.err;
  }
  const Outcome missing = check((dir.path() / "absent.hex").string());
  EXPECT_EQ(missing.status, kExitUsage);
  EXPECT_NE(missing.out.find("refused: the file cannot be opened"), std::string::npos);
}

TEST(Check, JsonReport) {
  test::TempDir dir;
  const std::string path = dir.write("fw.hex", test::hex_text(0x10001000, test::filler(300, 3)));
  const Outcome o = check(path, kFileTypeHex, true);
  EXPECT_EQ(o.status, kExitOk);
  for (const char* e : {R"("refused": false)", R"("records": 21)", R"("progress_total": 21)",
                        R"("data_bytes": 300)", R"("first": "0x10001000", "last": "0x1000112B")",
                        R"("regions": [{"first_page": "0x10001000", "pages": 2}])", R"("pages": 2)",
                        R"("smallest_flash_kb": 8)", R"("issues": [])",
                        R"("erase_sectors": [0, 1, 2, 3, 4, 5, 6, 7])"}) {
    EXPECT_NE(o.out.find(e), std::string::npos) << e << " in\n" << o.out;
  }
}

// Deciphers an encrypted-hex file into its records' plaintext, block by block.
std::vector<std::string> plaintext_records(const std::string& bytes) {
  std::vector<std::string> records;
  for (std::size_t at = 0; at + 16 <= bytes.size();) {
    std::string text;
    std::size_t blocks = 1;
    for (std::size_t j = 0; j < blocks; ++j, at += 16) {
      unsigned char block[16];
      std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), 16, block);
      crypto::decrypt_block(block);
      text.append(reinterpret_cast<const char*>(block), 16);
      if (j == 0) {
        blocks = (11 + 2 * std::stoul(text.substr(1, 2), nullptr, 16)) / 16 + 1;
      }
    }
    records.push_back(text);
  }
  return records;
}

TEST(Ehex, EncryptThenDecryptGivesTheRecordsBack) {
  test::TempDir dir;
  const std::vector<std::pair<const char*, std::string>> table = {
      {"app", test::hex_text(0x10001000, test::filler(4000, 4))},
      {"wide", test::hex_text(0x1000FF00, test::filler(600, 5), 32)},  // crosses 64 KB
      {"odd", test::hex_text(0x10002003, test::filler(77, 6), 7)},
      {"largest", test::hex_text(0x10001000, test::filler(510, 7), 255)},
      // Folder and file names in Chinese: UTF-8 names open as they are (on Windows too).
      {"固件/应用", test::hex_text(0x10001000, test::filler(100, 8))},
  };
  for (const auto& [name, text] : table) {
    SCOPED_TRACE(name);
    const std::string hex = dir.write(std::string(name) + ".hex", text);
    const std::string enc =
        platform::utf8_of(dir.path() / platform::path_from_utf8(std::string(name) + ".ehex"));
    const std::string dec =
        platform::utf8_of(dir.path() / platform::path_from_utf8(std::string(name) + "-back.hex"));
    ASSERT_EQ(ehex(Command::EhexEncrypt, hex, enc).status, kExitOk);
    // Each record: its text, then zero bytes to the end of its last block.
    std::vector<std::string> expected;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      line.pop_back();  // '\r'
      expected.push_back(line + std::string(16 - line.size() % 16, '\0'));
    }
    EXPECT_EQ(plaintext_records(test::read_text(platform::path_from_utf8(enc))), expected);
    ASSERT_EQ(ehex(Command::EhexDecrypt, enc, dec).status, kExitOk);
    EXPECT_EQ(test::read_text(platform::path_from_utf8(dec)), text);
    EXPECT_EQ(check(enc).out.substr(check(enc).out.find("data:")),
              check(hex).out.substr(check(hex).out.find("data:")));
  }
}

TEST(Ehex, EncryptWritesCanonicalRecordsAndWarns) {
  test::TempDir dir;
  const std::string hex =
      dir.write("messy.hex", "\r\n" + std::string(":020000041000ea") + "  \n:0110000042ad \t\n\n" +
                                 record(0, 0x1001, test::filler(40, 8)) + "\n:00000001ff\n");
  const std::string enc = (dir.path() / "messy.ehex").string();
  const Outcome o = ehex(Command::EhexEncrypt, hex, enc);
  ASSERT_EQ(o.status, kExitOk) << o.err;
  EXPECT_NE(o.err.find("2 blank lines left out"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("1 records carry more than 34 data bytes"), std::string::npos);
  const auto records = plaintext_records(test::read_text(enc));
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].substr(0, 15), ":020000041000EA");
  EXPECT_EQ(records[1].substr(0, 13), ":0110000042AD");
  EXPECT_EQ(records[1][13], '\0');
}

TEST(Ehex, NeverOverwritesWithoutForceAndWritesNothingForARefusedInput) {
  test::TempDir dir;
  const std::string hex = dir.write("fw.hex", test::hex_text(0x10001000, test::filler(64, 9)));
  const std::string out = dir.write("fw.ehex", "keep me");
  const Outcome refused = ehex(Command::EhexEncrypt, hex, out);
  EXPECT_EQ(refused.status, kExitUsage);
  EXPECT_NE(refused.err.find("exists; --force replaces it"), std::string::npos);
  EXPECT_EQ(test::read_text(out), "keep me");
  EXPECT_EQ(ehex(Command::EhexEncrypt, hex, out, true).status, kExitOk);
  EXPECT_EQ(test::read_text(out).size() % 16, 0u);

  const std::vector<std::pair<Command, std::string>> hostile = {
      {Command::EhexEncrypt, "not a record\n"},
      {Command::EhexEncrypt, ":10100000\n"},
      {Command::EhexEncrypt, ":0110000042AD :00000001FF\n"},       // two records on a line
      {Command::EhexEncrypt, ":00000001FF\n"},                     // nothing to program
      {Command::EhexDecrypt, std::string(48, '\x11')},             // another key
      {Command::EhexDecrypt, test::read_text(out).substr(0, 40)},  // cut inside a record
  };
  for (const auto& [command, content] : hostile) {
    const std::string in = dir.write("hostile.in", content);
    const std::string target = (dir.path() / "hostile.out").string();
    const Outcome o = ehex(command, in, target);
    EXPECT_EQ(o.status, kExitUsage) << content;
    EXPECT_NE(o.err.find("is refused"), std::string::npos) << o.err;
    EXPECT_FALSE(std::filesystem::exists(target));
  }
  // Nothing but the files written above: no temporary file left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            3);
}

TEST(Samples, TheBundledFirmwareWouldProgram) {
  const std::filesystem::path samples = std::filesystem::path(DRIVEFLASH_SOURCE_DIR) / "samples";
  const unsigned char development[16] = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                                         0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
  const bool development_key = std::equal(development, development + 16, key);
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(samples)) {
    const std::string path = entry.path().string();
    if (entry.path().extension() == ".ehex" && !development_key) {
      continue;  // enciphered under the development key
    }
    if (entry.path().extension() != ".hex" && entry.path().extension() != ".ehex") {
      continue;
    }
    const Outcome o = check(path);
    EXPECT_EQ(o.status, kExitOk) << path << "\n" << o.out << o.err;
    EXPECT_EQ(o.out.find("warning"), std::string::npos) << path << "\n" << o.out;
    ++checked;
  }
  EXPECT_GE(checked, development_key ? 4 : 2);
}

}  // namespace
}  // namespace driveflash::cli
