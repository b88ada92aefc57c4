# The fixtures whose runs take long are ctest entries of their own, run side
# by side: example_test_layouts (January on 1, 2 and 4 instances and on 4
# threads), example_test_year (the year, and the warm start at its half),
# example_test_budget (the year's water balance); example_test runs the rest.
fluvex_test(example_test SOURCES example_test.cpp basinbudget.cpp channelwater.cpp PROCESS LABELS e2e
            PARTS layouts "ExampleLayouts.*" year "ExampleYear.*" budget "ExampleBudget.*")
target_compile_definitions(example_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")
# The year-long runs use FLUVEX_EXAMPLE_BINARY (CMakeLists.txt) when given.
if(FLUVEX_EXAMPLE_BINARY)
  target_compile_definitions(example_test PRIVATE FLUVEX_YEAR_BINARY="${FLUVEX_EXAMPLE_BINARY}")
else()
  target_compile_definitions(example_test PRIVATE FLUVEX_YEAR_BINARY="$<TARGET_FILE:fluvex>")
endif()
# The longest chains of the suite: a high cost makes ctest start them first.
set_tests_properties(example_test_year PROPERTIES COST 330)
set_tests_properties(example_test_budget PROPERTIES COST 170)
set_tests_properties(example_test_layouts PROPERTIES COST 110)
set_tests_properties(example_test PROPERTIES COST 50)
