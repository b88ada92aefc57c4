fluvex_test(surfrout_test SOURCES surfrout_test.cpp LIBS fluvex_surface MPI 2 3)
