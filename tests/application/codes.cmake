fluvex_test(codes_test SOURCES codes_test.cpp LIBS fluvex_application MPI 2 3 4)
