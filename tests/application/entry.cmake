fluvex_test(entry_test SOURCES entry_test.cpp PROCESS LABELS e2e)
