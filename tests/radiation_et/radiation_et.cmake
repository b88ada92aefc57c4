fluvex_test(expokorr_test SOURCES expokorr_test.cpp LIBS fluvex_radiation_et)
fluvex_test(expokorr_mpi_test SOURCES expokorr_mpi_test.cpp LIBS fluvex_radiation_et fluvex_application MPI 3 LABELS mpi)
fluvex_test(etpetr_setup_test SOURCES etpetr_setup_test.cpp LIBS fluvex_radiation_et)
