fluvex_test(gridfile_test SOURCES gridfile_test.cpp LIBS fluvex_framework MPI 2 4)
fluvex_test(gifread_test SOURCES gifread_test.cpp LIBS fluvex_framework)
fluvex_test(gridfile_fuzz_test SOURCES gridfile_fuzz_test.cpp LIBS fluvex_framework)
