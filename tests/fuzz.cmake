# The fuzz targets' own checks, built with the ordinary compiler: every seed in fuzz/corpus/
# and every input a fuzzer found (fuzz_regressions/inputs/<target>/) is run through its
# target again. What the fuzzers found is spelled out in the tests of the code it was in.
set(_fuzz_targets flash_image_fuzz file_check_fuzz download_fuzz check_fuzz drive_frames_fuzz)
set(_fuzz_sources fuzz_regressions/replay_test.cpp)
foreach(_target ${_fuzz_targets})
  set(_source ${PROJECT_SOURCE_DIR}/fuzz/${_target}.cpp)
  list(APPEND _fuzz_sources ${_source})
  # Each target's entry point under a name of its own, so that one program holds them all.
  set_source_files_properties(${_source} PROPERTIES
    COMPILE_DEFINITIONS "LLVMFuzzerTestOneInput=${_target}_one_input")
endforeach()
driveflash_test(fuzz_regression_test unit SOURCES ${_fuzz_sources}
  LIBS driveflash_image driveflash_sim driveflash_cli_core)
target_include_directories(fuzz_regression_test PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
target_compile_definitions(fuzz_regression_test PRIVATE
  DRIVEFLASH_FUZZ_CORPUS="${PROJECT_SOURCE_DIR}/fuzz/corpus"
  DRIVEFLASH_FUZZ_FOUND="${CMAKE_CURRENT_SOURCE_DIR}/fuzz_regressions/inputs")
