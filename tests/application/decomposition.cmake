fluvex_test(decomposition_test SOURCES decomposition_test.cpp LIBS fluvex_application MPI 2 3 4)
