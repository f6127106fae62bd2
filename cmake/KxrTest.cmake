# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
# In-process tests and fuzz targets. The libraries of src/ are built once
# more (as <name>_test) against test settings whose fixed paths lie in the
# build tree, so that no test needs root or touches the host; kxr_add_test()
# declares one test executable.

set(KXR_TEST_RUN_DIR ${CMAKE_BINARY_DIR}/test-run)
block()
  set(KXR_SOCKET_DIR ${KXR_TEST_RUN_DIR}/)
  set(KXR_DOC_ROOT ${KXR_TEST_RUN_DIR}/www)
  set(KXR_PID_FILE ${KXR_TEST_RUN_DIR}/KXRWebServer.pid)
  set(KXR_SERVICE_SOCKET ${KXR_TEST_RUN_DIR}/kxr0)
  string(LENGTH ${KXR_SERVICE_SOCKET} length)
  if(length GREATER 100)
    message(FATAL_ERROR "The test service socket ${KXR_SERVICE_SOCKET} is too long for a socket address; use a shorter build directory")
  endif()
  # A stalled service costs the tests a short exchange bound, not the daemon's.
  set(template ${PROJECT_SOURCE_DIR}/src/common/Settings.h.in)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${template})
  file(READ ${template} content)
  string(REGEX REPLACE "kExchangeTimeoutSeconds = [0-9]+" "kExchangeTimeoutSeconds = 2" content "${content}")
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/test-generated/Settings.h CONTENT "${content}" @ONLY)
endblock()
# Writable for whoever runs the tests, like /tmp, also when not the builder.
file(MAKE_DIRECTORY ${KXR_TEST_RUN_DIR})
file(CHMOD ${KXR_TEST_RUN_DIR} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_WRITE
     GROUP_EXECUTE WORLD_READ WORLD_WRITE WORLD_EXECUTE)

add_library(kxr_common_test INTERFACE)
target_include_directories(kxr_common_test INTERFACE ${PROJECT_SOURCE_DIR}/src/common ${CMAKE_BINARY_DIR}/test-generated)

# Builds library lib once more as lib_test: the same sources, include
# directories and options, linked to the _test builds of its kxr_ libraries.
function(kxr_test_variant lib)
  get_target_property(dir ${lib} SOURCE_DIR)
  get_target_property(sources ${lib} SOURCES)
  list(TRANSFORM sources PREPEND ${dir}/ REGEX "^[^/$]")
  add_library(${lib}_test STATIC ${sources})
  foreach(property INCLUDE_DIRECTORIES COMPILE_DEFINITIONS COMPILE_OPTIONS LINK_LIBRARIES)
    get_target_property(values ${lib} ${property})
    if(NOT values)
      continue()
    endif()
    foreach(value IN LISTS values)
      if(TARGET ${value}_test)
        list(TRANSFORM values REPLACE "^${value}$" "${value}_test")
      endif()
    endforeach()
    set_property(TARGET ${lib}_test PROPERTY ${property} ${values})
    set_property(TARGET ${lib}_test PROPERTY INTERFACE_${property} ${values})
  endforeach()
  if(KXR_BUILD_FUZZ)
    target_compile_options(${lib}_test PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

foreach(lib kxr_soap kxr_cli_call kxr_access kxr_device kxr_engine kxr_http)
  kxr_test_variant(${lib})
endforeach()

# The fake device-profile service, answering from the simulator's dictionary.
add_library(kxr_fake_service STATIC ${PROJECT_SOURCE_DIR}/tests/support/FakeService.cpp)
target_include_directories(kxr_fake_service PUBLIC ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(kxr_fake_service PUBLIC kxr_service_sim kxr_cli_call_test kxr_common_test Threads::Threads)

# kxr_add_test(name SOURCES files... LIBS libraries... [LABELS labels...]
#              [ENVIRONMENT vars...] [TIMEOUT seconds] [SERVICE])
# One GoogleTest executable; its tests are named <subsystem>.<Suite>.<Test>
# after the directory and labelled unit. SERVICE: the tests use the test
# service socket, so that no two such executables run at once.
function(kxr_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "SERVICE" "TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT")
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest_main)
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 60)
  endif()
  set(properties LABELS "unit;${arg_LABELS}" TIMEOUT ${arg_TIMEOUT})
  if(arg_SERVICE)
    list(APPEND properties RESOURCE_LOCK kxr_test_service)
  endif()
  if(arg_ENVIRONMENT)
    list(APPEND properties ENVIRONMENT "${arg_ENVIRONMENT}")
  endif()
  get_filename_component(subsystem ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  gtest_discover_tests(${name} TEST_PREFIX "${subsystem}." DISCOVERY_TIMEOUT 30 PROPERTIES ${properties})
endfunction()
