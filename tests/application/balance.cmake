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
# The matrix in six shards side by side (every sixth case each):
# balance_test and balance_test_shard2 to balance_test_shard6.
get_test_property(balance_test ENVIRONMENT balance_env)
set_tests_properties(balance_test PROPERTIES ENVIRONMENT "${balance_env};FLUVEX_BALANCE_SHARD=0/6"
                                             TIMEOUT 1500 COST 140)
foreach(k 2 3 4 5 6)
  math(EXPR index "${k} - 1")
  add_test(NAME balance_test_shard${k} COMMAND balance_test WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(balance_test_shard${k} PROPERTIES ENVIRONMENT "${balance_env};FLUVEX_TEST_ENTRY=balance_test_shard${k};FLUVEX_BALANCE_SHARD=${index}/6"
                       LABELS "unit;e2e;balance" TIMEOUT 1500 COST 140)
endforeach()
