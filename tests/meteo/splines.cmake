fluvex_test(splines_test SOURCES splines_test.cpp ${CMAKE_CURRENT_LIST_DIR}/meteo_world.cpp LIBS fluvex_meteo)
