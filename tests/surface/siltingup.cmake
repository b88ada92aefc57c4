fluvex_test(siltingup_test SOURCES siltingup_test.cpp LIBS fluvex_surface)
fluvex_test(siltingup_run_test SOURCES siltingup_run_test.cpp PROCESS LABELS e2e)
target_compile_definitions(siltingup_run_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")
# Runs of the example basin (about 10 s beside other tests): started before
# the short tests.
set_tests_properties(siltingup_run_test PROPERTIES COST 15)
