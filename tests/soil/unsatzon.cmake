fluvex_test(unsatzon_config_test SOURCES unsatzon_config_test.cpp LIBS fluvex_soil)
fluvex_test(unsatzon_state_test SOURCES unsatzon_state_test.cpp LIBS fluvex_soil)
fluvex_test(unsatzon_step_test SOURCES unsatzon_step_test.cpp LIBS fluvex_soil)
fluvex_test(unsatzon_mpi_test SOURCES unsatzon_mpi_test.cpp LIBS fluvex_soil MPI 2)
fluvex_test(unsatzon_route_test SOURCES unsatzon_route_test.cpp LIBS fluvex_soil)
fluvex_test(unsatzon_run_test SOURCES unsatzon_run_test.cpp PROCESS LABELS e2e)
fluvex_test(unsatzon_tracer_test SOURCES unsatzon_tracer_test.cpp LIBS fluvex_soil)
fluvex_test(unsatzon_tracer_run_test SOURCES unsatzon_tracer_run_test.cpp PROCESS LABELS e2e)
# A sample of the option runs with the sanitized fluvex too.
fluvex_test(unsatzon_options_run_test SOURCES unsatzon_options_run_test.cpp PROCESS LABELS e2e
            SANITIZED "SoilOptionsRun.FrozenSoil*:SoilOptionsRun.DrainsLead*:SoilOptionsRun.TheDumpRepair*")
