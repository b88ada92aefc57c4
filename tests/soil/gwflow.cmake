fluvex_test(gwflow_test SOURCES gwflow_test.cpp LIBS fluvex_soil fluvex_application)
fluvex_test(gwflow_mpi_test SOURCES gwflow_mpi_test.cpp LIBS fluvex_soil fluvex_application MPI 2 4)
