# Included by CTest after the discovered test list (deckinput_tests_TESTS).
cmake_policy(PUSH)
cmake_policy(SET CMP0057 NEW) # if(IN_LIST)
set(pd_osc_load_test "OSCLoad.TwentyThousandMessagesPerSecondLoseNothing")
if(pd_osc_load_test IN_LIST deckinput_tests_TESTS)
  set_tests_properties("${pd_osc_load_test}" PROPERTIES RUN_SERIAL TRUE)
endif()
cmake_policy(POP)
