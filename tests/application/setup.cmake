fluvex_test(setup_sections_test SOURCES setup_sections_test.cpp LIBS fluvex_application MPI 3)
fluvex_test(setup_run_test SOURCES setup_run_test.cpp PROCESS LABELS e2e)
fluvex_test(run_test SOURCES run_test.cpp PROCESS LABELS e2e)
