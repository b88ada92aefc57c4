fluvex_test(snow_config_test SOURCES snow_config_test.cpp LIBS fluvex_snow)
# The winters of the balance test: four shards side by side.
fluvex_test(snow_step_test SOURCES snow_step_test.cpp LIBS fluvex_snow SHARDS 4 COST 70)
target_compile_definitions(snow_step_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")
# Long runs of the example basin, three shards side by side: a high cost
# makes ctest start them first.
fluvex_test(snow_run_test SOURCES snow_run_test.cpp PROCESS LABELS e2e SHARDS 3 COST 100)
target_compile_definitions(snow_run_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")
fluvex_test(snow_energy_test SOURCES snow_energy_test.cpp LIBS fluvex_snow)
