driveflash_test(bsl_test unit SOURCES bsl/frames_test.cpp bsl/asc_bsl_test.cpp
  bsl/erase_read_test.cpp bsl/resync_test.cpp LIBS driveflash_bsl)
