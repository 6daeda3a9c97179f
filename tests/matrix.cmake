# The fault matrix: every reply at every exchange of a run in virtual time (sim), stopping the
# run at each state through the popup and through the command line's Ctrl-C (sim), and a peer
# that vanishes, floods or drips over a pseudo-terminal in real time (pty).
add_library(driveflash_matrix_support STATIC matrix/twisted_drive.cpp)
target_link_libraries(driveflash_matrix_support PUBLIC driveflash_run_testsupport)

driveflash_test(matrix_test sim SOURCES matrix/reply_matrix_test.cpp
  matrix/stop_test.cpp
  LIBS driveflash_matrix_support)
driveflash_test(matrix_cli_test sim SOURCES matrix/cli_stop_test.cpp
  LIBS driveflash_matrix_support driveflash_cli driveflash_cli_testsupport)
driveflash_test(matrix_pty_test pty SOURCES pty/pty_fault_test.cpp pty/qt_app.cpp
  LIBS driveflash_run_testsupport)
