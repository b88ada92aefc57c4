fluvex_test(superposition_test SOURCES superposition_test.cpp ${CMAKE_CURRENT_LIST_DIR}/meteo_world.cpp LIBS fluvex_meteo)
