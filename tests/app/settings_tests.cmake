# Tests of the settings accessors; included by this folder's CMakeLists.
pd_add_test(app_settings_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/AppSettingsTest.cpp
  DEPS pd_app_settings)
