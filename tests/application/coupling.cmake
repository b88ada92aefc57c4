fluvex_test(coupling_run_test SOURCES coupling_run_test.cpp PROCESS LABELS e2e)
