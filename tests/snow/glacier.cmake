fluvex_test(snow_glacier_test SOURCES snow_glacier_test.cpp LIBS fluvex_snow)
