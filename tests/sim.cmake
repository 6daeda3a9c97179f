# The virtual drive: fault options, the drive itself, its in-process line (virtual time) and
# its pseudo-terminal (real time, label pty, for machines that have /dev/ptmx).
driveflash_test(sim_test sim SOURCES sim/faults_test.cpp sim/virtual_drive_test.cpp
  sim/sim_line_test.cpp LIBS driveflash_sim driveflash_image)
target_compile_definitions(sim_test PRIVATE
  DRIVEFLASH_RESOURCES="${PROJECT_SOURCE_DIR}/resources")
if(WIN32)
  return()
endif()
driveflash_test(sim_pty_test pty SOURCES sim/pty_test.cpp LIBS driveflash_sim)
target_compile_definitions(sim_pty_test PRIVATE
  DRIVEFLASH_SIM_PROGRAM="$<TARGET_FILE:driveflash-sim>")
add_dependencies(sim_pty_test driveflash-sim)
