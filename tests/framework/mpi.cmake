# Exchange between instances and stack files, on 1, 2, 3 and 4 instances.
fluvex_test(mpi_test SOURCES mpi_test.cpp LIBS fluvex_application MPI 2 3 4)
fluvex_test(stackfile_test SOURCES stackfile_test.cpp LIBS fluvex_application MPI 2 3 4)
