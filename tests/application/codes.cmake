fluvex_test(codes_test SOURCES codes_test.cpp LIBS fluvex_application MPI 2 3 4)
fluvex_test(hru_test SOURCES hru_test.cpp LIBS fluvex_application MPI 2 3 4)
fluvex_test(tracer_test SOURCES tracer_test.cpp LIBS fluvex_application)
