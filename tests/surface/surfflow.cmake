fluvex_test(surfflow_test SOURCES surfflow_test.cpp LIBS fluvex_surface MPI 2 3)
# The test machine is shared: idle threads wait without spinning.
foreach(t surfflow_test surfflow_test_np2 surfflow_test_np3)
  set_property(TEST ${t} APPEND PROPERTY ENVIRONMENT "OMP_WAIT_POLICY=passive")
endforeach()
