fluvex_test(idwkernels_test SOURCES idwkernels_test.cpp LIBS fluvex_meteo)
