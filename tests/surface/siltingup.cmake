fluvex_test(siltingup_test SOURCES siltingup_test.cpp LIBS fluvex_surface)
