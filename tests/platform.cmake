driveflash_test(platform_test unit SOURCES platform/files_test.cpp platform/serial_test.cpp
  platform/panels_test.cpp LIBS driveflash_platform)
