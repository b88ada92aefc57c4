fluvex_test(meteo_mpi_test SOURCES meteo_mpi_test.cpp ${CMAKE_CURRENT_LIST_DIR}/meteo_world.cpp
            LIBS fluvex_meteo fluvex_application MPI 3 LABELS mpi)
