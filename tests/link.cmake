driveflash_test(link_test unit SOURCES link/drive_link_test.cpp LIBS driveflash_link)
