#include "crypto/aes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "support/test_support.h"

namespace {

using driveflash::test::Bytes;
using driveflash::test::hex_bytes;
using driveflash::test::to_hex;
using Block = std::array<unsigned char, 16>;

Block block_of(const std::string& hex) {
  const Bytes bytes = hex_bytes(hex);
  Block b{};
  EXPECT_EQ(bytes.size(), b.size()) << hex;
  std::memcpy(b.data(), bytes.data(), std::min(bytes.size(), b.size()));
  return b;
}

std::string hex_of(const Block& b) {
  return to_hex(Bytes(b.begin(), b.end()));
}

struct Vector {
  const char* source;
  const char* key;
  const char* plain;
  const char* cipher;
};

constexpr const char* kZero = "00000000000000000000000000000000";

// FIPS-197 appendices and the known-answer tables of the AES validation suite.
const Vector kVectors[] = {
    {"FIPS197_C1", "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"FIPS197_B", "2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
     "3925841d02dc09fbdc118597196a0b32"},
    {"GFSbox_0", kZero, "f34481ec3cc627bacd5dc3fb08f273e6", "0336763e966d92595a567cc9ce537f5e"},
    {"GFSbox_1", kZero, "9798c4640bad75c7c3227db910174e72", "a9a1631bf4996954ebc093957b234589"},
    {"GFSbox_6", kZero, "58c8e00b2631686d54eab84b91f0aca1", "08a4e2efec8a8e3312ca7460b9040bbf"},
    {"KeySbox_0", "10a58869d74be5a374cf867cfb473859", kZero, "6d251e6944b051e04eaa6fb4dbf78465"},
    {"KeySbox_1", "caea65cdbb75e9169ecd22ebe6e54675", kZero, "6e29201190152df4ee058139def610bb"},
    {"KeySbox_4", "64cf9c7abc50b888af65f49d521944b2", kZero, "f7efc89d5dba578104016ce5ad659c05"},
    {"VarKey_0", "80000000000000000000000000000000", kZero, "0edd33d3c621e546455bd8ba1418bec8"},
    {"VarKey_1", "c0000000000000000000000000000000", kZero, "4bc3f883450c113c64ca42e1112a9e87"},
    {"VarKey_127", "ffffffffffffffffffffffffffffffff", kZero, "a1f6258c877d5fcd8964484538bfc92c"},
    {"VarTxt_0", kZero, "80000000000000000000000000000000", "3ad78e726c1ec02b7ebfe92b23d9ec34"},
    {"VarTxt_1", kZero, "c0000000000000000000000000000000", "aae5939c8efdf2f04e60b9fe7117b2c2"},
    {"VarTxt_127", kZero, "ffffffffffffffffffffffffffffffff", "3f5b8cc9ea855a0afa7347d23e8d664e"},
};

class KnownAnswer : public testing::TestWithParam<Vector> {};

// Encryption leaves a round key in the buffer; decryption gives the key back.
TEST_P(KnownAnswer, BothWays) {
  const Vector& v = GetParam();
  Block block = block_of(v.plain);
  Block k = block_of(v.key);
  aes_enc_dec(block.data(), k.data(), 0);
  EXPECT_EQ(hex_of(block), hex_of(block_of(v.cipher)));
  EXPECT_NE(hex_of(k), hex_of(block_of(v.key)));

  block = block_of(v.cipher);
  k = block_of(v.key);
  aes_enc_dec(block.data(), k.data(), 1);
  EXPECT_EQ(hex_of(block), hex_of(block_of(v.plain)));
  EXPECT_EQ(hex_of(k), hex_of(block_of(v.key)));
}

INSTANTIATE_TEST_SUITE_P(Aes128, KnownAnswer, testing::ValuesIn(kVectors),
                         [](const testing::TestParamInfo<Vector>& p) { return p.param.source; });

// FIPS-197 A.1: the last round key of the example key, which an encryption leaves behind.
TEST(KeyBuffer, EncryptionLeavesRoundKeyTen) {
  Block block{};
  Block k = block_of("2b7e151628aed2a6abf7158809cf4f3c");
  aes_enc_dec(block.data(), k.data(), 0);
  EXPECT_EQ(hex_of(k), hex_of(block_of("d014f9a8c9ee2589e13f0cc8b6630ca6")));
}

TEST(KeyBuffer, AnyNonZeroDirectionDecrypts) {
  for (const unsigned char direction : std::array<unsigned char, 4>{1, 2, 0x80, 0xFF}) {
    Block k = block_of("2b7e151628aed2a6abf7158809cf4f3c");
    Block block = block_of("3925841d02dc09fbdc118597196a0b32");
    aes_enc_dec(block.data(), k.data(), direction);
    EXPECT_EQ(hex_of(block), hex_of(block_of("3243f6a8885a308d313198a2e0370734")))
        << int{direction};
  }
}

TEST(BlockHelpers, RoundTripUnderTheBuiltInKeyLeavesItUnchanged) {
  Block text{};
  std::memcpy(text.data(), ":10010000214601360121470136007EFE", text.size());
  Block stored{};
  std::memcpy(stored.data(), key, stored.size());
  for (const Block& plain : {text, block_of(kZero), block_of("ffffffffffffffffffffffffffffffff")}) {
    Block block = plain;
    driveflash::crypto::encrypt_block(block.data());
    EXPECT_NE(hex_of(block), hex_of(plain));
    driveflash::crypto::decrypt_block(block.data());
    EXPECT_EQ(hex_of(block), hex_of(plain));
  }
  EXPECT_EQ(0, std::memcmp(stored.data(), key, stored.size()));
}

TEST(BlockHelpers, EncryptStartsFromTheKeyWhateverKey2Holds) {
  Block first = block_of("00112233445566778899aabbccddeeff");
  driveflash::crypto::encrypt_block(first.data());
  std::memset(key2, 0xA5, sizeof key2);
  Block second = block_of("00112233445566778899aabbccddeeff");
  driveflash::crypto::encrypt_block(second.data());
  EXPECT_EQ(hex_of(first), hex_of(second));
}

// Each table lookup the known answers may miss, checked whole.
TEST(Tables, InverseSboxUndoesSbox) {
  for (unsigned i = 0; i < 256; ++i) {
    EXPECT_EQ(rsbox[sbox[i]], i);
  }
}

}  // namespace
