fluvex_test(routing_lake_test SOURCES lake_test.cpp LIBS fluvex_routing MPI 2)
