driveflash_test(crypto_test unit SOURCES crypto/aes_test.cpp crypto/sha256_test.cpp
  LIBS driveflash_crypto)
