# Real serial ports: the device numbering without a device, and real lines on
# pseudo-terminal pairs that the tests open themselves.
driveflash_test(qt_serial_test unit SOURCES pty/qt_serial_test.cpp LIBS driveflash_platform_qt)
driveflash_test(pty_line_test pty SOURCES pty/real_line_test.cpp pty/pty_peer.cpp pty/qt_app.cpp
  LIBS driveflash_platform_qt)
# Whole programming runs against the virtual drive on a pseudo-terminal, in real time.
driveflash_test(pty_run_test pty SOURCES pty/pty_run_test.cpp pty/qt_app.cpp
  LIBS driveflash_platform_qt driveflash_run driveflash_sim)
target_compile_definitions(pty_run_test PRIVATE
  DRIVEFLASH_RESOURCES="${PROJECT_SOURCE_DIR}/resources")
