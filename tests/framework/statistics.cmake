fluvex_test(zonalstatistic_test SOURCES zonalstatistic_test.cpp LIBS fluvex_framework MPI 3)
fluvex_test(routstatistic_test SOURCES routstatistic_test.cpp LIBS fluvex_framework MPI 3)
fluvex_test(statisticrows_test SOURCES statisticrows_test.cpp LIBS fluvex_framework)
