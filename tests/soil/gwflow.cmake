fluvex_test(gwflow_test SOURCES gwflow_test.cpp LIBS fluvex_soil fluvex_application)
