fluvex_test(expokorr_test SOURCES expokorr_test.cpp LIBS fluvex_radiation_et)
fluvex_test(etpetr_setup_test SOURCES etpetr_setup_test.cpp LIBS fluvex_radiation_et)
fluvex_test(etpetr_step_test SOURCES etpetr_step_test.cpp LIBS fluvex_radiation_et)
fluvex_test(interzep_test SOURCES interzep_test.cpp LIBS fluvex_radiation_et)
fluvex_test(etpetr_mpi_test SOURCES etpetr_mpi_test.cpp LIBS fluvex_radiation_et fluvex_application MPI 3 LABELS mpi)
# A year of hourly steps with the process modules on takes longer than the
# unit tests: two shards side by side, started first.
fluvex_test(et_example_test SOURCES et_example_test.cpp PROCESS LABELS e2e SHARDS 2 COST 90)
target_compile_definitions(et_example_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")
