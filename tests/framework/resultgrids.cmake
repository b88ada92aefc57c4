fluvex_test(resultgrids_test SOURCES resultgrids_test.cpp LIBS fluvex_framework MPI 2 4)
