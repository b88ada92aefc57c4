fluvex_test(uzkernels_test SOURCES uzkernels_test.cpp LIBS fluvex_soil)
fluvex_test(uzheat_test SOURCES uzheat_test.cpp LIBS fluvex_soil)
fluvex_test(uzlateral_test SOURCES uzlateral_test.cpp LIBS fluvex_soil)
