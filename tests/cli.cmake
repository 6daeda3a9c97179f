# driveflash-cli: in-process tests of its parts (unit), whole runs on the in-process virtual
# drive in virtual time (sim), the built program as a child process (unit for the commands
# without a drive, sim for real-time runs), and over a pseudo-terminal to driveflash-sim (pty).
# The arguments and the file tools need no Qt and no child process: they run everywhere.
add_library(driveflash_cli_testsupport STATIC cli/cli_support.cpp)
target_link_libraries(driveflash_cli_testsupport PUBLIC driveflash_testsupport)
target_compile_definitions(driveflash_cli_testsupport PUBLIC
  DRIVEFLASH_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  DRIVEFLASH_RESOURCES="${PROJECT_SOURCE_DIR}/resources")

driveflash_test(cli_unit_test unit SOURCES cli/arguments_test.cpp cli/files_test.cpp
  cli/waker_test.cpp LIBS driveflash_cli_core driveflash_cli_testsupport)

if(NOT DRIVEFLASH_QT OR WIN32)
  return()
endif()
target_sources(driveflash_cli_testsupport PRIVATE cli/process_posix.cpp)
target_compile_definitions(driveflash_cli_testsupport PUBLIC
  DRIVEFLASH_CLI="$<TARGET_FILE:driveflash-cli>"
  DRIVEFLASH_SIM="$<TARGET_FILE:driveflash-sim>")
driveflash_test(cli_log_test unit SOURCES cli/run_log_test.cpp
  LIBS driveflash_cli driveflash_cli_testsupport)
driveflash_test(cli_sim_test sim SOURCES cli/run_sim_test.cpp cli/station_test.cpp
  LIBS driveflash_cli driveflash_cli_testsupport)
driveflash_test(cli_process_test unit SOURCES cli/process_test.cpp
  LIBS driveflash_cli_testsupport)
driveflash_test(cli_run_test sim SOURCES cli/run_process_test.cpp cli/production_test.cpp
  cli/job_process_test.cpp LIBS driveflash_cli_testsupport driveflash_run)
driveflash_test(cli_pty_test pty SOURCES cli/pty_test.cpp LIBS driveflash_cli_testsupport)
foreach(t cli_process_test cli_run_test cli_pty_test)
  add_dependencies(${t} driveflash-cli driveflash-sim)
endforeach()
