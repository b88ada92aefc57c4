fluvex_test(example_test SOURCES example_test.cpp PROCESS LABELS e2e)
target_compile_definitions(example_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")
# The year-long runs of the example take minutes with an optimised fluvex and
# far longer under the sanitizers: scripts/run-tests.sh builds a Release
# fluvex beside the sanitizer build and names it here. Empty: the fluvex of
# this build runs them too.
set(FLUVEX_EXAMPLE_BINARY "" CACHE FILEPATH "fluvex that runs the year-long example tests (empty: this build's)")
if(FLUVEX_EXAMPLE_BINARY)
  target_compile_definitions(example_test PRIVATE FLUVEX_YEAR_BINARY="${FLUVEX_EXAMPLE_BINARY}")
else()
  target_compile_definitions(example_test PRIVATE FLUVEX_YEAR_BINARY="$<TARGET_FILE:fluvex>")
endif()
# The longest test of the suite: a high cost makes ctest start it first.
set_tests_properties(example_test PROPERTIES TIMEOUT 1800 COST 1000)
