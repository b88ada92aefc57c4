fluvex_test(example_test SOURCES example_test.cpp PROCESS LABELS e2e)
target_compile_definitions(example_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")
