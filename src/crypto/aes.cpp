// AES-128 without a stored key schedule: the 16-byte key buffer carries the current round
// key and is moved one round forward or back as the rounds need it. That keeps the working
// memory at the block and the key, at the price of ten schedule steps before each
// decryption.
#include "crypto/aes.h"

#include <cstddef>
#include <cstring>

#include "build_config.h"

namespace {

constexpr std::size_t kBlockBytes = 16;
constexpr int kRounds = 10;

constexpr std::uint8_t xtime(std::uint8_t v) {
  return static_cast<std::uint8_t>((v << 1) ^ ((v & 0x80) != 0 ? 0x1B : 0x00));
}

constexpr std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b) {
  std::uint8_t product = 0;
  while (b != 0) {
    if ((b & 1) != 0) {
      product = static_cast<std::uint8_t>(product ^ a);
    }
    a = xtime(a);
    b = static_cast<std::uint8_t>(b >> 1);
  }
  return product;
}

// Multiplicative inverse as a^254; 0 maps to 0 as the S-box construction requires.
constexpr std::uint8_t gf_inverse(std::uint8_t a) {
  std::uint8_t result = 1;
  std::uint8_t base = a;
  for (unsigned e = 254; e != 0; e >>= 1) {
    if ((e & 1) != 0) {
      result = gf_mul(result, base);
    }
    base = gf_mul(base, base);
  }
  return a == 0 ? 0 : result;
}

constexpr std::uint8_t rotl8(std::uint8_t v, int n) {
  return static_cast<std::uint8_t>((v << n) | (v >> (8 - n)));
}

constexpr std::array<std::uint8_t, 256> make_sbox() {
  std::array<std::uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    const std::uint8_t b = gf_inverse(static_cast<std::uint8_t>(i));
    table[i] =
        static_cast<std::uint8_t>(b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^ 0x63);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> make_rsbox(const std::array<std::uint8_t, 256>& s) {
  std::array<std::uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    table[s[i]] = static_cast<std::uint8_t>(i);
  }
  return table;
}

// Entry i is x^i: the constant of the schedule step that produces round key i + 1.
constexpr std::array<std::uint8_t, 11> make_rcon() {
  std::array<std::uint8_t, 11> table{};
  std::uint8_t v = 1;
  for (auto& entry : table) {
    entry = v;
    v = xtime(v);
  }
  return table;
}

}  // namespace

constexpr std::array<std::uint8_t, 256> sbox = make_sbox();
constexpr std::array<std::uint8_t, 256> rsbox = make_rsbox(sbox);
constexpr std::array<std::uint8_t, 11> Rcon = make_rcon();

static_assert(sbox[0x00] == 0x63 && sbox[0x53] == 0xED && sbox[0xFF] == 0x16);
static_assert(rsbox[0x63] == 0x00 && Rcon[8] == 0x1B && Rcon[9] == 0x36);

// NOLINTBEGIN(modernize-avoid-c-arrays): the key buffers are the cipher's C interface
const unsigned char key[16] = {DRIVEFLASH_EHEX_KEY_BYTES};
unsigned char key2[16] = {};
// NOLINTEND(modernize-avoid-c-arrays)

unsigned char galois_mul2(unsigned char value) {
  return xtime(value);
}

namespace {

// The schedule step of FIPS-197 applied to the whole 16-byte round key in place.
void next_round_key(unsigned char* k, std::uint8_t rcon) {
  k[0] = static_cast<unsigned char>(k[0] ^ sbox[k[13]] ^ rcon);
  k[1] = static_cast<unsigned char>(k[1] ^ sbox[k[14]]);
  k[2] = static_cast<unsigned char>(k[2] ^ sbox[k[15]]);
  k[3] = static_cast<unsigned char>(k[3] ^ sbox[k[12]]);
  for (std::size_t i = 4; i < kBlockBytes; ++i) {
    k[i] = static_cast<unsigned char>(k[i] ^ k[i - 4]);
  }
}

// Undoes next_round_key: the later words first, since each depends on the one before.
void previous_round_key(unsigned char* k, std::uint8_t rcon) {
  for (std::size_t i = kBlockBytes - 1; i >= 4; --i) {
    k[i] = static_cast<unsigned char>(k[i] ^ k[i - 4]);
  }
  k[0] = static_cast<unsigned char>(k[0] ^ sbox[k[13]] ^ rcon);
  k[1] = static_cast<unsigned char>(k[1] ^ sbox[k[14]]);
  k[2] = static_cast<unsigned char>(k[2] ^ sbox[k[15]]);
  k[3] = static_cast<unsigned char>(k[3] ^ sbox[k[12]]);
}

void add_round_key(unsigned char* state, const unsigned char* k) {
  for (std::size_t i = 0; i < kBlockBytes; ++i) {
    state[i] = static_cast<unsigned char>(state[i] ^ k[i]);
  }
}

void substitute(unsigned char* state, const std::array<std::uint8_t, 256>& table) {
  for (std::size_t i = 0; i < kBlockBytes; ++i) {
    state[i] = table[state[i]];
  }
}

// The state is column-major (byte r + 4c is row r, column c); row r turns by r columns.
void shift_rows(unsigned char* state, bool inverse) {
  std::array<unsigned char, kBlockBytes> copy{};
  std::memcpy(copy.data(), state, kBlockBytes);
  for (std::size_t r = 1; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      const std::size_t from = inverse ? (c + 4 - r) % 4 : (c + r) % 4;
      state[r + 4 * c] = copy[r + 4 * from];
    }
  }
}

void mix_columns(unsigned char* state) {
  for (std::size_t c = 0; c < 4; ++c) {
    unsigned char* col = state + 4 * c;
    const auto all = static_cast<unsigned char>(col[0] ^ col[1] ^ col[2] ^ col[3]);
    const unsigned char first = col[0];
    for (std::size_t r = 0; r < 4; ++r) {
      const unsigned char next = r == 3 ? first : col[r + 1];
      col[r] = static_cast<unsigned char>(col[r] ^ all ^
                                          galois_mul2(static_cast<unsigned char>(col[r] ^ next)));
    }
  }
}

// InvMixColumns as a pre-step followed by MixColumns, so only doubling is needed.
void inverse_mix_columns(unsigned char* state) {
  for (std::size_t c = 0; c < 4; ++c) {
    unsigned char* col = state + 4 * c;
    const unsigned char u = galois_mul2(galois_mul2(static_cast<unsigned char>(col[0] ^ col[2])));
    const unsigned char v = galois_mul2(galois_mul2(static_cast<unsigned char>(col[1] ^ col[3])));
    col[0] = static_cast<unsigned char>(col[0] ^ u);
    col[1] = static_cast<unsigned char>(col[1] ^ v);
    col[2] = static_cast<unsigned char>(col[2] ^ u);
    col[3] = static_cast<unsigned char>(col[3] ^ v);
  }
  mix_columns(state);
}

}  // namespace

void aes_enc_dec(unsigned char* block, unsigned char* keyBuffer, unsigned char decrypt) {
  if (decrypt == 0) {
    add_round_key(block, keyBuffer);
    for (int round = 1; round <= kRounds; ++round) {
      substitute(block, sbox);
      shift_rows(block, false);
      if (round != kRounds) {
        mix_columns(block);
      }
      next_round_key(keyBuffer, Rcon[static_cast<std::size_t>(round - 1)]);
      add_round_key(block, keyBuffer);
    }
    return;
  }
  for (int round = 1; round <= kRounds; ++round) {
    next_round_key(keyBuffer, Rcon[static_cast<std::size_t>(round - 1)]);
  }
  add_round_key(block, keyBuffer);
  for (int round = kRounds; round >= 1; --round) {
    shift_rows(block, true);
    substitute(block, rsbox);
    previous_round_key(keyBuffer, Rcon[static_cast<std::size_t>(round - 1)]);
    add_round_key(block, keyBuffer);
    if (round != 1) {
      inverse_mix_columns(block);
    }
  }
}

namespace driveflash::crypto {

void decrypt_block(unsigned char* block) {
  std::memcpy(key2, key, sizeof key2);
  aes_enc_dec(block, key2, 1);
}

void encrypt_block(unsigned char* block) {
  std::memcpy(key2, key, sizeof key2);
  aes_enc_dec(block, key2, 0);
}

}  // namespace driveflash::crypto
