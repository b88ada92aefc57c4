fluvex_test(uzkernels_test SOURCES uzkernels_test.cpp LIBS fluvex_soil)
