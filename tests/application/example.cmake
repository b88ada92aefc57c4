fluvex_test(example_test SOURCES example_test.cpp PROCESS LABELS e2e)
target_compile_definitions(example_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")
# Six year-long runs of the example: under the sanitizers they take longer than
# the default limit. A high cost makes ctest start it first.
set_tests_properties(example_test PROPERTIES TIMEOUT 2400 COST 1000)
