# Every pair of option values through the program: runs generated from the
# option axes on a cut of the example basin, with the Release fluvex of
# FLUVEX_EXAMPLE_BINARY when given (see CMakeLists.txt).
fluvex_test(option_matrix_test SOURCES option_matrix_test.cpp balancecases.cpp basinbudget.cpp channelwater.cpp PROCESS
            LABELS e2e balance)
target_compile_definitions(option_matrix_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")
if(FLUVEX_EXAMPLE_BINARY)
  target_compile_definitions(option_matrix_test PRIVATE FLUVEX_YEAR_BINARY="${FLUVEX_EXAMPLE_BINARY}")
else()
  target_compile_definitions(option_matrix_test PRIVATE FLUVEX_YEAR_BINARY="$<TARGET_FILE:fluvex>")
endif()
# In seven shards side by side (a seventh of the generated runs each, dealt
# out by their estimated cost): option_matrix_test and
# option_matrix_test_shard2 to option_matrix_test_shard7.
get_test_property(option_matrix_test ENVIRONMENT option_matrix_env)
set_tests_properties(option_matrix_test PROPERTIES ENVIRONMENT "${option_matrix_env};FLUVEX_OPTION_MATRIX_SHARD=0/7"
                                                   TIMEOUT 1500 COST 160)
foreach(k 2 3 4 5 6 7)
  math(EXPR index "${k} - 1")
  add_test(NAME option_matrix_test_shard${k} COMMAND option_matrix_test WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(option_matrix_test_shard${k} PROPERTIES ENVIRONMENT "${option_matrix_env};FLUVEX_TEST_ENTRY=option_matrix_test_shard${k};FLUVEX_OPTION_MATRIX_SHARD=${index}/7"
                       LABELS "unit;e2e;balance" TIMEOUT 1500 COST 160)
endforeach()
