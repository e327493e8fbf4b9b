# The stress suite runs the real daemon and client; SENTRO_STRESS_SCALE in
# the environment sizes it (1, the default, is the short CTest run).
sentro_test(test_stress stress sentro_core sentro_ctlclient)
if(TARGET test_stress)
  add_dependencies(test_stress sentro)
  target_compile_definitions(test_stress PRIVATE STRESS_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  # Its cases load the machine: one at a time, each within two minutes.
  # (Read by CTest after the discovered tests' own file.)
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES
               ${CMAKE_CURRENT_LIST_DIR}/StressProperties.cmake)
endif()
