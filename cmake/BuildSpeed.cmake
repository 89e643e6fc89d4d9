# Precompiled headers for the whole tree, applied in one place after every folder has defined its
# targets, so that a folder's CMakeLists needs no line of its own for them.
#
# Most of the compile time goes into the same third-party and standard headers, parsed again
# for every file. Each flavour of target (core code, GoogleTest programs, Qt code) compiles its
# header set once in a host target of its own, and every target of that flavour reuses it. A
# reused header is only valid for the flags it was made with: the flavours keep apart what
# differs (Qt's -fPIC and definitions, GoogleTest), and a target whose own compile options
# differ (the fuzz programs' instrumentation) keeps parsing its headers. GCC's -Winvalid-pch
# with -Werror turns any mismatch into a build failure rather than a silent slow build.
#
# PD_PRECOMPILE_HEADERS=OFF builds without them (to check that every file includes what it uses).
#
# The test programs and their helpers, which are a good half of the tree's files, are also built
# for a quick build rather than quick code: at -O1 (what they run is mostly our libraries, which
# keep -O2), and as unity builds, several of a program's files compiled as one, so that the
# headers' templates are instantiated once per batch rather than once per file. The files of one
# program share a translation unit then: helpers of the same name in their unnamed namespaces
# clash, and belong in a shared header of the folder instead. PD_UNITY_TESTS=OFF compiles them
# one by one (to check that each file stands alone).

option(PD_PRECOMPILE_HEADERS "Reuse precompiled third-party and standard headers across targets" ON)
option(PD_UNITY_TESTS "Compile the test programs' files in batches" ON)
set(PD_UNITY_TESTS_BATCH_SIZE 8 CACHE STRING "How many of a test program's files are compiled as one")

set(PD_PCH_CORE
  <algorithm> <array> <atomic> <chrono> <condition_variable> <cstddef> <cstdint> <cstring>
  <deque> <exception> <filesystem> <functional> <map> <memory> <mutex> <optional> <set> <span>
  <sstream> <stdexcept> <string> <string_view> <thread> <type_traits> <unordered_map> <utility>
  <variant> <vector>
  <boost/asio/any_io_executor.hpp> <boost/asio/awaitable.hpp> <boost/asio/co_spawn.hpp>
  <boost/asio/io_context.hpp> <boost/asio/post.hpp> <boost/asio/steady_timer.hpp>
  <boost/asio/use_awaitable.hpp> <boost/signals2/signal.hpp>
  <nlohmann/json.hpp>)
set(PD_PCH_TEST ${PD_PCH_CORE} <gtest/gtest.h> <gmock/gmock.h>)
set(PD_PCH_QT ${PD_PCH_CORE}
  <QApplication> <QFrame> <QHBoxLayout> <QLabel> <QMessageBox> <QObject> <QPainter> <QPushButton>
  <QString> <QTimer> <QVBoxLayout> <QWidget>)

# Once the headers come precompiled, GCC 12 warns falsely about standard and Asio code inlined
# into our files: about std::string concatenations (the copies' bounds, the kind that -Wrestrict
# is already off for), and about Asio's reactor in the files listed here (as it does without a
# precompiled header in the files that silence it in their folder's CMakeLists).
set(PD_PCH_GCC_QUIET
  "src/deckinput/OSCServerService.cpp=-Wno-null-dereference")

# Every target defined in `dir` and below.
function(_pd_targets_below dir out)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    _pd_targets_below("${subdir}" below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Whether `target` links, directly or through its libraries, a target matching `pattern`.
function(_pd_links_matching target pattern out)
  set(pending ${target})
  set(seen)
  set(found FALSE)
  while(pending)
    list(POP_FRONT pending current)
    if(current IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${current})
    if(current MATCHES "${pattern}")
      set(found TRUE)
      break()
    endif()
    if(NOT TARGET ${current})
      continue()
    endif()
    get_target_property(type ${current} TYPE)
    set(libraries)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(direct ${current} LINK_LIBRARIES)
      if(direct)
        list(APPEND libraries ${direct})
      endif()
    endif()
    get_target_property(interface ${current} INTERFACE_LINK_LIBRARIES)
    if(interface)
      list(APPEND libraries ${interface})
    endif()
    foreach(library IN LISTS libraries)
      # $<LINK_ONLY:x> and friends name x.
      string(REGEX REPLACE "^\\$<[A-Z_]+:(.*)>$" "\\1" library "${library}")
      if(library AND NOT library MATCHES "^\\$<|^-")
        list(APPEND pending ${library})
      endif()
    endforeach()
  endwhile()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# The libraries and programs defined in `dir` and below that build our code (with pd_options).
function(_pd_our_targets_below dir out)
  _pd_targets_below("${dir}" targets)
  set(ours)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(STATIC_LIBRARY|EXECUTABLE)$")
      _pd_links_matching(${target} "^pd_options$" found)
      if(found)
        list(APPEND ours ${target})
      endif()
    endif()
  endforeach()
  set(${out} ${ours} PARENT_SCOPE)
endfunction()

# A static library of one empty file that compiles `headers` for its flavour.
function(_pd_pch_host name headers)
  set(source "${CMAKE_BINARY_DIR}/pch/${name}.cpp")
  file(CONFIGURE OUTPUT "${source}" CONTENT "// Compiles the precompiled headers of its flavour.\n")
  add_library(${name} STATIC EXCLUDE_FROM_ALL "${source}")
  target_link_libraries(${name} PRIVATE pd_options ${ARGN})
  # pkg-config gives some of our libraries -D_REENTRANT, which the headers test; it changes
  # nothing on glibc, so every user of a shared header set defines it alike.
  target_compile_definitions(${name} PRIVATE _REENTRANT)
  target_precompile_headers(${name} PRIVATE ${headers})
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # Keeps the header's bytes the same from build to build, so that ccache can reuse its users.
    target_compile_options(${name} PRIVATE -Xclang -fno-pch-timestamp)
  endif()
endfunction()

function(_pd_quiet_false_positives target)
  get_target_property(sources ${target} SOURCES)
  get_target_property(dir ${target} SOURCE_DIR)
  foreach(entry IN LISTS PD_PCH_GCC_QUIET)
    string(REPLACE "=" ";" entry "${entry}")
    list(GET entry 0 file)
    list(GET entry 1 option)
    foreach(source IN LISTS sources)
      cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY "${dir}" NORMALIZE)
      if(source STREQUAL "${CMAKE_SOURCE_DIR}/${file}")
        set_property(SOURCE "${source}" TARGET_DIRECTORY ${target} APPEND PROPERTY COMPILE_OPTIONS ${option})
      endif()
    endforeach()
  endforeach()
endfunction()

function(pd_precompile_headers)
  if(NOT PD_PRECOMPILE_HEADERS)
    return()
  endif()
  _pd_our_targets_below("${CMAKE_SOURCE_DIR}" targets)

  set(hosts)
  foreach(target IN LISTS targets)
    get_target_property(sources ${target} SOURCES)
    list(FILTER sources INCLUDE REGEX "\\.cpp$")
    get_target_property(options ${target} COMPILE_OPTIONS)
    if(NOT sources OR options MATCHES "fsanitize=fuzzer")
      continue()
    endif()

    _pd_links_matching(${target} "^Qt6::" qt)
    _pd_links_matching(${target} "^GTest::" gtest)
    if(qt)
      set(host pd_pch_qt)
      set(headers PD_PCH_QT)
      set(deps Qt6::Widgets pd::boost nlohmann_json::nlohmann_json)
    elseif(gtest)
      set(host pd_pch_test)
      set(headers PD_PCH_TEST)
      set(deps GTest::gtest GTest::gmock pd::boost nlohmann_json::nlohmann_json)
    else()
      set(host pd_pch_core)
      set(headers PD_PCH_CORE)
      set(deps pd::boost nlohmann_json::nlohmann_json)
    endif()
    if(NOT host IN_LIST hosts)
      _pd_pch_host(${host} "${${headers}}" ${deps})
      list(APPEND hosts ${host})
      if(qt)
        # Every Qt target of ours builds without Qt's keyword macros (they clash with Boost's signals).
        target_compile_definitions(${host} PRIVATE QT_NO_KEYWORDS)
      endif()
    endif()
    target_precompile_headers(${target} REUSE_FROM ${host})
    target_compile_definitions(${target} PRIVATE _REENTRANT)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${target} PRIVATE -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread)
      _pd_quiet_false_positives(${target})
    endif()
  endforeach()
endfunction()

# The test programs and the libraries and helper programs defined below tests/.
function(pd_speed_up_tests)
  _pd_our_targets_below("${CMAKE_SOURCE_DIR}/tests" targets)
  foreach(target IN LISTS targets)
    # Debug builds keep -O0 for the debugger; sanitizer and release builds take -O1.
    target_compile_options(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:-O1>)
    if(PD_UNITY_TESTS)
      set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${PD_UNITY_TESTS_BATCH_SIZE})
      if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        # GCC takes the included files for headers and warns that their types use the unnamed
        # namespace, which only matters for a header included by several translation units.
        target_compile_options(${target} PRIVATE -Wno-subobject-linkage)
      endif()
      # A file that does without the precompiled headers keeps its own translation unit.
      get_target_property(sources ${target} SOURCES)
      get_target_property(dir ${target} SOURCE_DIR)
      foreach(source IN LISTS sources)
        cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY "${dir}" NORMALIZE)
        get_source_file_property(skip "${source}" TARGET_DIRECTORY ${target} SKIP_PRECOMPILE_HEADERS)
        if(skip)
          set_property(SOURCE "${source}" TARGET_DIRECTORY ${target} PROPERTY SKIP_UNITY_BUILD_INCLUSION ON)
        endif()
      endforeach()
    endif()
  endforeach()
endfunction()
