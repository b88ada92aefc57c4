fluvex_test(badinput_test SOURCES badinput_test.cpp PROCESS LABELS e2e)
target_compile_definitions(badinput_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")

# Spoiled copies of the example basin (tests/data/spoiled/run_spoiled.py): a
# week of each on 2 instances, two copies side by side; each ends with its
# FATAL entry or, where the input is legal, with results that are numbers.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME spoiled_example_test
           COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/data/spoiled/run_spoiled.py
                   --fluvex $<TARGET_FILE:fluvex> --mpirun ${MPIEXEC_EXECUTABLE}
                   --example ${PROJECT_SOURCE_DIR}/examples/basin --work ${CMAKE_CURRENT_BINARY_DIR}/tmp_spoiled
                   --jobs 2)
  set_tests_properties(spoiled_example_test PROPERTIES ENVIRONMENT "${FLUVEX_TEST_ENV}" LABELS e2e PROCESSORS 2
                                                       TIMEOUT 2400)
endif()
