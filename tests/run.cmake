# The run on headless panels, for the run, matrix and pseudo-terminal tests.
add_library(driveflash_run_testsupport STATIC support/run_harness.cpp)
target_link_libraries(driveflash_run_testsupport PUBLIC driveflash_run driveflash_sim
  driveflash_platform_qt driveflash_testsupport GTest::gtest)
target_compile_definitions(driveflash_run_testsupport PUBLIC
  DRIVEFLASH_RESOURCES="${PROJECT_SOURCE_DIR}/resources")
driveflash_test(run_test sim SOURCES run/run_states_test.cpp run/run_sim_test.cpp run/job_test.cpp
  run/retry_test.cpp
  LIBS driveflash_run_testsupport)
