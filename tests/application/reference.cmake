# The reference table: small synthetic basins through the program, compared
# with values computed from formulas (reference_table.h). One ctest entry per
# area runs its rows (reference_rows_<area>.cpp): reference_test_<area>;
# reference_test runs the rows of any other name.
file(GLOB reference_rows CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/reference_rows_*.cpp)
set(reference_parts "")
foreach(rows ${reference_rows})
  string(REGEX REPLACE ".*reference_rows_(.*)\\.cpp$" "\\1" area ${rows})
  list(APPEND reference_parts ${area} "${area}.*")
endforeach()
fluvex_test(reference_test SOURCES reference_test.cpp reference_table.cpp balancecases.cpp basinbudget.cpp
            channelwater.cpp ${reference_rows} PROCESS LABELS e2e PARTS ${reference_parts})
target_compile_definitions(reference_test PRIVATE FLUVEX_EXAMPLE_DIR="${PROJECT_SOURCE_DIR}/examples/basin")
if(FLUVEX_EXAMPLE_BINARY)
  target_compile_definitions(reference_test PRIVATE FLUVEX_YEAR_BINARY="${FLUVEX_EXAMPLE_BINARY}")
else()
  target_compile_definitions(reference_test PRIVATE FLUVEX_YEAR_BINARY="$<TARGET_FILE:fluvex>")
endif()
