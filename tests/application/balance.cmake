# The basin's water balance under a matrix of module options: each case runs
# the example basin twice (and on two instances) with the Release fluvex of
# FLUVEX_EXAMPLE_BINARY when given (see CMakeLists.txt).
fluvex_test(balance_test SOURCES balance_test.cpp balancecases.cpp basinbudget.cpp channelwater.cpp PROCESS LABELS e2e balance)
target_compile_definitions(balance_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")
if(FLUVEX_EXAMPLE_BINARY)
  target_compile_definitions(balance_test PRIVATE FLUVEX_YEAR_BINARY="${FLUVEX_EXAMPLE_BINARY}")
else()
  target_compile_definitions(balance_test PRIVATE FLUVEX_YEAR_BINARY="$<TARGET_FILE:fluvex>")
endif()
set_tests_properties(balance_test PROPERTIES TIMEOUT 1800 COST 900)
