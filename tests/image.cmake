driveflash_test(intel_hex_test unit SOURCES image/hex_test.cpp LIBS driveflash_image)
driveflash_test(file_check_test unit SOURCES image/check_test.cpp LIBS driveflash_image)
