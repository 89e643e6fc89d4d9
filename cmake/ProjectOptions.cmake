# Warnings as errors for our own code; third-party headers come in as system includes.
add_library(pd_options INTERFACE)
target_compile_options(pd_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wconversion
  -Wimplicit-fallthrough -Wnull-dereference -Werror)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 reports false positives on coroutine frames and std::variant moves, and on
  # inlined std::string concatenation (-Wrestrict).
  target_compile_options(pd_options INTERFACE -Wno-maybe-uninitialized -Wno-restrict)
endif()
# The installed program names its source files (in fault messages) relative to the checkout, so
# that no path of the machine that built it is compiled in. ccache passes the files as paths
# relative to the build folder, hence the second form. ccache hashes these options without their
# values: after changing a value, build once with CCACHE_RECACHE=1.
target_compile_options(pd_options INTERFACE "-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=")
file(RELATIVE_PATH pd_source_from_build "${CMAKE_BINARY_DIR}" "${CMAKE_SOURCE_DIR}")
if(pd_source_from_build)
  # CMake ends ".." with a slash but not a longer relative path.
  string(REGEX REPLACE "([^/])$" "\\1/" pd_source_from_build "${pd_source_from_build}")
  target_compile_options(pd_options INTERFACE "-fmacro-prefix-map=${pd_source_from_build}=")
endif()
target_compile_definitions(pd_options INTERFACE
  PD_APP_ID="${PD_APP_ID}"
  PD_APP_VERSION="${PROJECT_VERSION}"
  PD_APP_DISPLAY_NAME="${PD_APP_DISPLAY_NAME}"
  BOOST_ASIO_NO_DEPRECATED
  BOOST_ASIO_HAS_STD_INVOKE_RESULT)

if(PD_BUILD_FUZZ)
  # Coverage feedback for libFuzzer across every library the fuzz targets link. -O1, as libFuzzer
  # advises: the sanitizers still see every access, and the optimiser, a good part of the time the
  # instrumented code takes to compile, has less to do.
  target_compile_options(pd_options INTERFACE -fsanitize=fuzzer-no-link $<$<NOT:$<CONFIG:Debug>>:-O1>)
endif()

if(PD_SANITIZE)
  target_compile_options(pd_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(pd_options INTERFACE -fsanitize=address,undefined)
endif()

if(PD_SANITIZE_THREAD)
  if(PD_SANITIZE)
    message(FATAL_ERROR "PD_SANITIZE_THREAD cannot be combined with PD_SANITIZE")
  endif()
  target_compile_options(pd_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(pd_options INTERFACE -fsanitize=thread)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # The instrumentation adds paths that GCC 12's flow analysis reports as null dereferences
    # no plain build has. Asio's reference counts use standalone fences, which the sanitizer
    # does not model (-Wtsan); the reports they cause are suppressed at run time.
    target_compile_options(pd_options INTERFACE -Wno-null-dereference -Wno-tsan)
  endif()
endif()

# pd_add_library(<name> SOURCES ... DEPS ...): one static library per source folder.
function(pd_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  target_link_libraries(${name} PUBLIC pd_options ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
endfunction()

# pd_add_test(<name> SOURCES ... DEPS ... [LABELS ...] [ENVIRONMENT ...] [TIMEOUT s] [SERIAL]):
# one GoogleTest executable, its cases registered with CTest one by one. SERIAL keeps its
# cases from running beside other tests (load and throughput measurements).
function(pd_add_test name)
  cmake_parse_arguments(ARG "SERIAL" "TIMEOUT" "SOURCES;DEPS;LABELS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE pd_options ${ARG_DEPS} pd_test_program_hooks GTest::gtest GTest::gmock
                                        GTest::gtest_main)
  # Helpers shared by several test folders live in tests/support.
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests")
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(props TIMEOUT ${ARG_TIMEOUT})
  if(ARG_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  if(ARG_LABELS)
    string(REPLACE ";" "\\;" labels "${ARG_LABELS}")
    list(APPEND props LABELS "${labels}")
  endif()
  if(ARG_ENVIRONMENT)
    # Several variables form one property value: keep their separators escaped.
    string(REPLACE ";" "\\;" env "${ARG_ENVIRONMENT}")
    list(APPEND props ENVIRONMENT "${env}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
