fluvex_test(periodic_test SOURCES periodic_test.cpp LIBS fluvex_application)
