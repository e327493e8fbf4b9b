# The stress suite runs the real daemon and client; SENTRO_STRESS_SCALE in
# the environment sizes it (1, the default, is the short CTest run). Its
# cases load the machine: one at a time, each within two minutes.
set(SENTRO_TEST_PROPERTIES RESOURCE_LOCK stress_daemon TIMEOUT 120 LABELS stress)
sentro_test(test_stress stress sentro_core sentro_ctlclient)
unset(SENTRO_TEST_PROPERTIES)
if(TARGET test_stress)
  add_dependencies(test_stress sentro)
endif()
