# Results equality: the example basin and the bench basin on 1, 2 and 4
# instances with 1 and 8 threads give the files recorded in
# tests/data/equality, byte for byte (results_equality.sh --update rewrites
# them when results change on purpose). Uses FLUVEX_EXAMPLE_BINARY when given.
if(FLUVEX_EXAMPLE_BINARY)
  set(equality_fluvex "${FLUVEX_EXAMPLE_BINARY}")
else()
  set(equality_fluvex "$<TARGET_FILE:fluvex>")
endif()
add_test(NAME results_equality
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/results_equality.sh --check ${equality_fluvex} ${MPIEXEC_EXECUTABLE})
# Minutes of runs: a high cost makes ctest start it among the first.
set_tests_properties(results_equality PROPERTIES ENVIRONMENT "${FLUVEX_TEST_ENV}" LABELS "e2e;mpi" PROCESSORS 4
                     TIMEOUT 1500 COST 115)
