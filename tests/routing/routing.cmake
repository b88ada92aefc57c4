fluvex_test(routing_step_test SOURCES step_test.cpp LIBS fluvex_routing)
fluvex_test(routing_exchange_test SOURCES exchange_test.cpp LIBS fluvex_routing MPI 2 3)
fluvex_test(routing_run_test SOURCES run_test.cpp PROCESS LABELS e2e COST 60)
