# Included by CTest after the discovered test list (mediaserver_tests_TESTS).
cmake_policy(PUSH)
cmake_policy(SET CMP0057 NEW) # if(IN_LIST)
set(pd_churn_test "HarnessProcessTest.ConnectionChurnLeavesNothingBehind")
if(pd_churn_test IN_LIST mediaserver_tests_TESTS)
  set_tests_properties("${pd_churn_test}" PROPERTIES RUN_SERIAL TRUE)
endif()
cmake_policy(POP)
