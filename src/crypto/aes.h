// AES-128 on one 16-byte block, with a key schedule worked in place in the key buffer.
#pragma once

#include <array>
#include <cstdint>

extern const std::array<std::uint8_t, 256> sbox;
extern const std::array<std::uint8_t, 256> rsbox;
extern const std::array<std::uint8_t, 11> Rcon;

// The key of the encrypted-hex format, fixed when the program is built.
// NOLINTNEXTLINE(modernize-avoid-c-arrays): the key buffers are the cipher's C interface
extern const unsigned char key[16];
// Working copy handed to the cipher: refreshed from `key` before every block, because the
// cipher uses its key buffer as working store.
// NOLINTNEXTLINE(modernize-avoid-c-arrays): the key buffers are the cipher's C interface
extern unsigned char key2[16];

// Enciphers (decrypt == 0) or deciphers (any other value) `block` in place. On return from
// a decryption `keyBuffer` holds the key again; after an encryption it holds round key 10.
void aes_enc_dec(unsigned char* block, unsigned char* keyBuffer, unsigned char decrypt);
unsigned char galois_mul2(unsigned char value);

namespace driveflash::crypto {
// Deciphers one block with a fresh copy of `key` in `key2`, as every reader of the
// encrypted-hex format does.
void decrypt_block(unsigned char* block);
// Enciphers one block with a fresh copy of `key` (the writer of the format).
void encrypt_block(unsigned char* block);
}  // namespace driveflash::crypto
