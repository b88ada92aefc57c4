fluvex_test(snow_config_test SOURCES snow_config_test.cpp LIBS fluvex_snow)
fluvex_test(snow_step_test SOURCES snow_step_test.cpp LIBS fluvex_snow)
target_compile_definitions(snow_step_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")
fluvex_test(snow_state_test SOURCES snow_state_test.cpp LIBS fluvex_snow)
