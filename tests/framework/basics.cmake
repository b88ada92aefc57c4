fluvex_test(diagstream_test SOURCES diagstream_test.cpp LIBS fluvex_framework MPI 2)
fluvex_test(memory_handling_test SOURCES memory_handling_test.cpp LIBS fluvex_framework)
fluvex_test(signals_test SOURCES signals_test.cpp LIBS fluvex_framework PROCESS)
fluvex_test(strutil_test SOURCES strutil_test.cpp LIBS fluvex_framework)
