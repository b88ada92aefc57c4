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
# About 11 CPU minutes (Release fluvex): two to three minutes on 8 idle
# cores, about nine beside the other tests.
set_tests_properties(option_matrix_test PROPERTIES TIMEOUT 1500 COST 800)
