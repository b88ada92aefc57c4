fluvex_test(example_test SOURCES example_test.cpp basinbudget.cpp channelwater.cpp PROCESS LABELS e2e)
target_compile_definitions(example_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")
# The year-long runs use FLUVEX_EXAMPLE_BINARY (CMakeLists.txt) when given.
if(FLUVEX_EXAMPLE_BINARY)
  target_compile_definitions(example_test PRIVATE FLUVEX_YEAR_BINARY="${FLUVEX_EXAMPLE_BINARY}")
else()
  target_compile_definitions(example_test PRIVATE FLUVEX_YEAR_BINARY="$<TARGET_FILE:fluvex>")
endif()
# The longest test of the suite: a high cost makes ctest start it first.
set_tests_properties(example_test PROPERTIES COST 1000)
