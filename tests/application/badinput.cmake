fluvex_test(badinput_test SOURCES badinput_test.cpp PROCESS LABELS e2e)
target_compile_definitions(badinput_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")
