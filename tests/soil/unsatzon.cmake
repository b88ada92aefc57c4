fluvex_test(unsatzon_config_test SOURCES unsatzon_config_test.cpp LIBS fluvex_soil)
fluvex_test(unsatzon_state_test SOURCES unsatzon_state_test.cpp LIBS fluvex_soil)
fluvex_test(unsatzon_step_test SOURCES unsatzon_step_test.cpp LIBS fluvex_soil)
fluvex_test(unsatzon_mpi_test SOURCES unsatzon_mpi_test.cpp LIBS fluvex_soil MPI 2)
