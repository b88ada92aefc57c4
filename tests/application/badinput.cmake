fluvex_test(badinput_test SOURCES badinput_test.cpp PROCESS LABELS e2e)
