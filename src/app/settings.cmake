# The settings accessors and process-wide values, a library of their own so that they build
# and test without Qt. Included by this folder's CMakeLists; pd_app links it.
pd_add_library(pd_app_settings
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/AppSettings.cpp
  DEPS pd_platform_settings pd_platform_text
  PRIVATE_DEPS pd_platform_crypto)
