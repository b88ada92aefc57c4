fluvex_test(setup_sections_test SOURCES setup_sections_test.cpp LIBS fluvex_application MPI 3)
