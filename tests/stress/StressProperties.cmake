# Included by CTest: the properties of every discovered stress case.
if(test_stress_TESTS)
  set_tests_properties(${test_stress_TESTS} PROPERTIES
                       RESOURCE_LOCK stress_daemon TIMEOUT 120 LABELS stress)
endif()
