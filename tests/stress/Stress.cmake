# The stress suite (real daemon and client, sized by SENTRO_STRESS_SCALE):
# one case at a time, each within two minutes.
set(SENTRO_TEST_PROPERTIES RESOURCE_LOCK stress_daemon TIMEOUT 120 LABELS stress)
sentro_test(test_stress stress sentro_core sentro_ctlclient)
unset(SENTRO_TEST_PROPERTIES)
if(TARGET test_stress)
  add_dependencies(test_stress sentro)
endif()
