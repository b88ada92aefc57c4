fluvex_test(routing_rules_test SOURCES rules_test.cpp LIBS fluvex_routing)
fluvex_test(routing_reservoir_test SOURCES reservoir_test.cpp LIBS fluvex_routing)
