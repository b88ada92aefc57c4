# The spoilt inputs of the small basin and the table values out of range run
# with the sanitized fluvex too (badinput_test_sanitized).
set(sanitized "BadInput.ControlFileNumbers*:BadInput.SpoiltInputFiles*:BadInput.AnInputFileThatEndsEarly*")
string(APPEND sanitized ":BadInput.AStepWithoutAnyValidStation*:BadInput.FilesSavedWithCarriageReturnsOnly*")
string(APPEND sanitized ":BadInput.GridHeaders*:BadInput.TableValuesOutOfTheirRange*")
fluvex_test(badinput_test SOURCES badinput_test.cpp PROCESS LABELS e2e SANITIZED "${sanitized}" COST 120)
if(FLUVEX_EXAMPLE_BINARY)
  # The sanitized sample takes longer than the rest: started among the first.
  set_tests_properties(badinput_test_sanitized PROPERTIES COST 170)
endif()
target_compile_definitions(badinput_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")

# Spoiled copies of the example basin (tests/data/spoiled/run_spoiled.py): a
# week of each on 1 and 2 instances, four copies side by side; each ends with
# its FATAL entry or, where the input is legal, with results that are numbers.
# The Release fluvex of FLUVEX_EXAMPLE_BINARY runs every copy; a sample of
# them (input grids with holes, cut files, station series that end early,
# table values that are no numbers, and two legal copies, which run three days
# of their week) also runs this build's sanitized fluvex, where a read beyond
# an array ends the run.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  if(FLUVEX_EXAMPLE_BINARY)
    set(spoiled_fluvex "${FLUVEX_EXAMPLE_BINARY}")
  else()
    set(spoiled_fluvex "$<TARGET_FILE:fluvex>")
  endif()
  # Two halves side by side: spoiled_example_test and spoiled_example_test_shard2.
  foreach(k 1 2)
    math(EXPR index "${k} - 1")
    set(test spoiled_example_test)
    if(k GREATER 1)
      set(test spoiled_example_test_shard${k})
    endif()
    add_test(NAME ${test}
             COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/data/spoiled/run_spoiled.py
                     --fluvex ${spoiled_fluvex} --mpirun ${MPIEXEC_EXECUTABLE} --shard ${index}/2
                     --example ${PROJECT_SOURCE_DIR}/examples/basin --work ${CMAKE_CURRENT_BINARY_DIR}/tmp_${test}
                     --jobs 4)
    # No PROCESSORS: ctest holds back a test that asks for several until that
    # many are free, and the short tests beside it kept them busy; its cost
    # starts it among the first.
    set_tests_properties(${test} PROPERTIES ENVIRONMENT "${FLUVEX_TEST_ENV}" LABELS e2e TIMEOUT 1500 COST 120)
  endforeach()
  if(FLUVEX_EXAMPLE_BINARY)
    set(sample "soil_ksat_nan|landuse_rsc_nan|routing_twice|warm_state_hole|zone_code_not_in_soil_table")
    string(APPEND sample "|control_file_cut|abstraction_from_file_ends_early|inflow_file_skips_a_step")
    string(APPEND sample "|step_shorter_than_flow_times|precipitation_negative|soil_section_missing")
    string(APPEND sample "|landuse_interception_nan|gw_k_hole|stations_all_missing_day")
    add_test(NAME spoiled_example_sanitized_test
             COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/data/spoiled/run_spoiled.py
                     --fluvex $<TARGET_FILE:fluvex> --mpirun ${MPIEXEC_EXECUTABLE} --cases "^(${sample})$"
                     --example ${PROJECT_SOURCE_DIR}/examples/basin
                     --work ${CMAKE_CURRENT_BINARY_DIR}/tmp_spoiled_sanitized --jobs 4 --legal-days 3)
    set_tests_properties(spoiled_example_sanitized_test PROPERTIES ENVIRONMENT "${FLUVEX_TEST_ENV}"
                         LABELS "e2e;sanitized" TIMEOUT 1500 COST 200)
  endif()
endif()
