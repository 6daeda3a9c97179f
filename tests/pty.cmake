# Real serial ports: the device numbering without a device, and real lines on
# pseudo-terminal pairs that the tests open themselves.
driveflash_test(qt_serial_test unit SOURCES pty/qt_serial_test.cpp LIBS driveflash_platform_qt)
driveflash_test(pty_line_test pty SOURCES pty/real_line_test.cpp pty/qt_app.cpp
  LIBS driveflash_platform_qt driveflash_sim)
