driveflash_test(page_builder_test unit SOURCES download/page_builder_test.cpp
  LIBS driveflash_image)
driveflash_test(download_test unit SOURCES download/firmware_scan_test.cpp
  download/download_test.cpp LIBS driveflash_image)
