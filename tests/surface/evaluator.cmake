fluvex_test(evaluator_test SOURCES evaluator_test.cpp LIBS fluvex_surface)
