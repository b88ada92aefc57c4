fluvex_test(precicorr_test SOURCES precicorr_test.cpp ${CMAKE_CURRENT_LIST_DIR}/meteo_world.cpp LIBS fluvex_meteo)
