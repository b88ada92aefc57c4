fluvex_test(submodel_test SOURCES submodel_test.cpp LIBS fluvex_framework MPI 3)
fluvex_test(zonegrid_test SOURCES zonegrid_test.cpp LIBS fluvex_framework MPI 3)
