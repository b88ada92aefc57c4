fluvex_test(meteo_run_test SOURCES meteo_run_test.cpp PROCESS LABELS e2e)
