fluvex_test(landuse_setup_test SOURCES landuse_setup_test.cpp LIBS fluvex_application MPI 2 3)
