# Test registration. Windows test programs run under Wine through CMAKE_CROSSCOMPILING_EMULATOR
# (cmake/wine-run.sh), in the build tree's prefix <build>/wineprefix. Every test gets a TIMEOUT.
#
#   nvx_add_gtest(NAME <target> SOURCES <file>... [LIBS <lib>...] [TIMEOUT <s>] [LABELS <l>...]
#                 [RESOURCE_LOCK <lock>...] [RUN_SERIAL] [CUSTOM_MAIN])
#       GoogleTest executable; each test case becomes one CTest test, discovered when CTest starts.
#       Links nvx::gmock and nvx::gtest, plus nvx::gtest_main unless CUSTOM_MAIN.
#
#   nvx_add_wine_test(NAME <test> COMMAND <target> [<arg>...] [TIMEOUT <s>] [LABELS ...]
#                     [RESOURCE_LOCK ...] [RUN_SERIAL])
#       Runs a Windows program of this build under Wine; exit status 0 passes.
#
#   nvx_add_script_test(NAME <test> SCRIPT <file.sh> [ARGS <arg>...] [TIMEOUT <s>] [LABELS ...]
#                       [RESOURCE_LOCK ...] [RUN_SERIAL])
#       Runs a bash script on the host. Its environment has NVX_WINE_RUN (the emulator: run
#       "$NVX_WINE_RUN" prog.exe args, or any Wine program such as reg or sc), NVX_WINEPREFIX,
#       NVX_SOURCE_DIR and NVX_BUILD_DIR. ARGS may use generator expressions ($<TARGET_FILE:x>).
#
# TIMEOUT (seconds, default NVX_TEST_TIMEOUT) bounds every Wine call of the test; CTest's own
# limit is a few seconds later, so a hung program is reported with exit status 124.
# Tests that change machine-wide state of the prefix (services in the SCM, HKLM keys, the
# volume model) must share RESOURCE_LOCK nvx_machine: CTest runs up to two tests at once.
include_guard(GLOBAL)
include(GoogleTest)

set(NVX_TEST_TIMEOUT 60 CACHE STRING "Default bound in seconds for one test's Wine calls")
set(NVX_TEST_DISCOVERY_TIMEOUT 60 CACHE STRING "Bound in seconds for listing a GoogleTest executable's tests")
set(NVX_TEST_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")

# Sets <prefix>_CODE in the caller: the arguments after PROPERTIES of set_tests_properties(), each
# value as a bracket argument so that list values (several labels or locks) stay intact.
function(_nvx_test_properties prefix timeout labels locks run_serial)
  if(NOT timeout)
    set(timeout ${NVX_TEST_TIMEOUT})
  endif()
  if(NOT timeout MATCHES "^[1-9][0-9]*$")
    message(FATAL_ERROR "TIMEOUT must be a positive number of seconds, not '${timeout}'")
  endif()
  math(EXPR ctest_timeout "${timeout} + 15")
  set(code "TIMEOUT ${ctest_timeout} ENVIRONMENT [==[NVX_WINE_TIMEOUT=${timeout}]==]")
  if(labels)
    string(APPEND code " LABELS [==[${labels}]==]")
  endif()
  if(locks)
    string(APPEND code " RESOURCE_LOCK [==[${locks}]==]")
  endif()
  if(run_serial)
    string(APPEND code " RUN_SERIAL TRUE")
  endif()
  set(${prefix}_CODE "${code}" PARENT_SCOPE)
endfunction()

function(nvx_add_gtest)
  cmake_parse_arguments(PARSE_ARGV 0 arg "RUN_SERIAL;CUSTOM_MAIN" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK")
  if(NOT arg_NAME OR NOT arg_SOURCES)
    message(FATAL_ERROR "nvx_add_gtest needs NAME and SOURCES")
  endif()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "nvx_add_gtest(${arg_NAME}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  add_executable(${arg_NAME} ${arg_SOURCES})
  # A test program's own sources (assertion macros, mostly) build in about 60 % of the time with
  # light optimisation and line tables only; the product code they test keeps the build type's
  # flags in its libraries.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${arg_NAME} PRIVATE -O1 -g1)
  endif()
  if(NOT arg_CUSTOM_MAIN)
    target_link_libraries(${arg_NAME} PRIVATE nvx::gtest_main)
  endif()
  target_link_libraries(${arg_NAME} PRIVATE ${arg_LIBS} nvx::gmock nvx::gtest)

  set(test_list "${arg_NAME}_TESTS")
  gtest_discover_tests(${arg_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT ${NVX_TEST_DISCOVERY_TIMEOUT}
    TEST_LIST ${test_list})
  # Properties are applied by a CTest script that runs after discovery, because list values
  # (LABELS, RESOURCE_LOCK) do not survive gtest_discover_tests(PROPERTIES).
  _nvx_test_properties(props "${arg_TIMEOUT}" "${arg_LABELS}" "${arg_RESOURCE_LOCK}" "${arg_RUN_SERIAL}")
  set(props_file "${CMAKE_CURRENT_BINARY_DIR}/${arg_NAME}_properties.cmake")
  file(GENERATE OUTPUT "${props_file}" CONTENT
    "if(${test_list})\n  set_tests_properties(\${${test_list}} PROPERTIES ${props_CODE})\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${props_file}")
endfunction()

# Applies the common test properties to a test added with add_test().
function(_nvx_set_test_properties name timeout labels locks run_serial)
  _nvx_test_properties(props "${timeout}" "${labels}" "${locks}" "${run_serial}")
  cmake_language(EVAL CODE "set_tests_properties([==[${name}]==] PROPERTIES ${props_CODE})")
endfunction()

function(nvx_add_wine_test)
  cmake_parse_arguments(PARSE_ARGV 0 arg "RUN_SERIAL" "NAME;TIMEOUT" "COMMAND;LABELS;RESOURCE_LOCK")
  if(NOT arg_NAME OR NOT arg_COMMAND)
    message(FATAL_ERROR "nvx_add_wine_test needs NAME and COMMAND")
  endif()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "nvx_add_wine_test(${arg_NAME}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  # A target name as the command makes CTest prepend the emulator.
  add_test(NAME ${arg_NAME} COMMAND ${arg_COMMAND})
  _nvx_set_test_properties(${arg_NAME} "${arg_TIMEOUT}" "${arg_LABELS}" "${arg_RESOURCE_LOCK}" "${arg_RUN_SERIAL}")
endfunction()

function(nvx_add_script_test)
  cmake_parse_arguments(PARSE_ARGV 0 arg "RUN_SERIAL" "NAME;SCRIPT;TIMEOUT" "ARGS;LABELS;RESOURCE_LOCK")
  if(NOT arg_NAME OR NOT arg_SCRIPT)
    message(FATAL_ERROR "nvx_add_script_test needs NAME and SCRIPT")
  endif()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "nvx_add_script_test(${arg_NAME}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  cmake_path(ABSOLUTE_PATH arg_SCRIPT BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
  add_test(NAME ${arg_NAME} COMMAND bash "${arg_SCRIPT}" ${arg_ARGS})
  _nvx_set_test_properties(${arg_NAME} "${arg_TIMEOUT}" "${arg_LABELS}" "${arg_RESOURCE_LOCK}" "${arg_RUN_SERIAL}")
  set_property(TEST ${arg_NAME} APPEND PROPERTY ENVIRONMENT
    "NVX_WINE_RUN=${CMAKE_CROSSCOMPILING_EMULATOR}"
    "NVX_WINEPREFIX=${NVX_TEST_WINEPREFIX}"
    "NVX_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    "NVX_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()
