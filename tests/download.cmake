# The firmware scan belongs to the image library; until the library lists it, the tests add
# it so that the download links.
get_target_property(_image_sources driveflash_image SOURCES)
if(NOT _image_sources MATCHES "firmware_scan\\.cpp")
  target_sources(driveflash_image PRIVATE ${PROJECT_SOURCE_DIR}/src/image/firmware_scan.cpp)
endif()

driveflash_test(page_builder_test unit SOURCES download/page_builder_test.cpp
  LIBS driveflash_image)
driveflash_test(download_test unit SOURCES download/firmware_scan_test.cpp
  download/download_test.cpp LIBS driveflash_image)
