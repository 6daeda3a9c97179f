# The panel file (no widgets: the command line reads it too), and the operator's window on the
# offscreen Qt platform.
driveflash_test(uir_file_test unit SOURCES gui/uir_file_test.cpp LIBS driveflash_platform_qt)
target_compile_definitions(uir_file_test PRIVATE
  DRIVEFLASH_RESOURCES="${PROJECT_SOURCE_DIR}/resources")

driveflash_test(gui_test gui SOURCES gui/gui_main.cpp gui/gui_fixture.cpp gui/startup_test.cpp
  gui/main_panel_test.cpp gui/run_test.cpp gui/qt_services_test.cpp
  LIBS driveflash_run driveflash_run_log driveflash_sim driveflash_platform_widgets Qt6::Test)
target_compile_definitions(gui_test PRIVATE
  DRIVEFLASH_RESOURCES="${PROJECT_SOURCE_DIR}/resources")

# Not a test: takes the README's screenshots under a virtual X server (scripts/screenshots.sh).
add_executable(driveflash_screenshots gui/screenshot_tool.cpp)
target_link_libraries(driveflash_screenshots PRIVATE driveflash_run driveflash_sim
  driveflash_platform_widgets)
target_compile_definitions(driveflash_screenshots PRIVATE
  DRIVEFLASH_RESOURCES="${PROJECT_SOURCE_DIR}/resources"
  DRIVEFLASH_SAMPLES="${PROJECT_SOURCE_DIR}/samples")
