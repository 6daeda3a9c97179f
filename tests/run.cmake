driveflash_test(run_test sim SOURCES run/run_harness.cpp run/run_states_test.cpp run/run_sim_test.cpp LIBS driveflash_run driveflash_sim)
