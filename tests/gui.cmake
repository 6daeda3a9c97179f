# The panel file (no widgets: the command line reads it too), and the operator's window on the
# offscreen Qt platform.
driveflash_test(uir_file_test unit SOURCES gui/uir_file_test.cpp LIBS driveflash_platform_qt)
target_compile_definitions(uir_file_test PRIVATE
  DRIVEFLASH_RESOURCES="${PROJECT_SOURCE_DIR}/resources")

driveflash_test(gui_test gui SOURCES gui/gui_main.cpp gui/gui_fixture.cpp gui/startup_test.cpp
  gui/main_panel_test.cpp gui/run_test.cpp gui/qt_services_test.cpp gui/operator_window_test.cpp
  gui/words_test.cpp gui/station_view_test.cpp gui/job_test.cpp
  LIBS driveflash_window driveflash_sim Qt6::Test)
# The station view starts the command line once per port.
target_compile_definitions(gui_test PRIVATE
  DRIVEFLASH_RESOURCES="${PROJECT_SOURCE_DIR}/resources"
  DRIVEFLASH_CLI="$<TARGET_FILE:driveflash-cli>")
add_dependencies(gui_test driveflash-cli)

# Not a test: takes the README's screenshots under a virtual X server (scripts/screenshots.sh).
add_executable(driveflash_screenshots gui/screenshot_tool.cpp)
target_link_libraries(driveflash_screenshots PRIVATE driveflash_window driveflash_sim)
target_compile_definitions(driveflash_screenshots PRIVATE
  DRIVEFLASH_RESOURCES="${PROJECT_SOURCE_DIR}/resources"
  DRIVEFLASH_SAMPLES="${PROJECT_SOURCE_DIR}/samples"
  DRIVEFLASH_CLI="$<TARGET_FILE:driveflash-cli>")
add_dependencies(driveflash_screenshots driveflash-cli)

# The window under a real X server (Xvfb): skipped where there is none.
add_executable(gui_x11_test gui/gui_main.cpp gui/gui_fixture.cpp gui/x11_run_test.cpp)
target_link_libraries(gui_x11_test PRIVATE driveflash_window driveflash_sim Qt6::Test
  driveflash_testsupport GTest::gtest GTest::gmock)
target_compile_definitions(gui_x11_test PRIVATE
  DRIVEFLASH_RESOURCES="${PROJECT_SOURCE_DIR}/resources"
  DRIVEFLASH_SAMPLES="${PROJECT_SOURCE_DIR}/samples"
  DRIVEFLASH_CLI="$<TARGET_FILE:driveflash-cli>")
add_dependencies(gui_x11_test driveflash-cli)
# The X libraries and the server's client side are not built with the sanitizers: the test runs
# in plain builds only (the offscreen window tests run under them all).
if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  add_test(NAME gui_x11_test
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/gui/under_xvfb.sh $<TARGET_FILE:gui_x11_test>)
  set_tests_properties(gui_x11_test PROPERTIES LABELS gui SKIP_RETURN_CODE 77 TIMEOUT 120
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endif()
