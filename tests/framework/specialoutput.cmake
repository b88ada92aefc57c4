fluvex_test(specialoutput_test SOURCES specialoutput_test.cpp LIBS fluvex_framework MPI 3)
