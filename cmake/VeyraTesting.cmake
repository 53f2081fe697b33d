enable_testing()

# GoogleTest from Debian's sources, so that the same version builds natively
# (with the sanitizers of this build) and with MinGW-w64.
set(VEYRA_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${VEYRA_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Test code is built for a short build, not for speed: the code under test
# keeps this build's optimisation in its libraries, while the tests' own
# translation units (most of the compile time, GoogleTest's templates above
# all) get light optimisation and line tables only.
set(VEYRA_TEST_COMPILE_OPTIONS "")
if(CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  set(VEYRA_TEST_COMPILE_OPTIONS -O1 -g1)
endif()
foreach(target gtest gtest_main gmock gmock_main)
  target_compile_options(${target} PRIVATE ${VEYRA_TEST_COMPILE_OPTIONS})
endforeach()

if(WIN32)
  # Windows test programs run under Wine in a private prefix of this build
  # tree; the wrapper starts Xvfb and the Wine server on first use.
  set(VEYRA_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
  set(VEYRA_WINE_RUN ${PROJECT_SOURCE_DIR}/scripts/wine-run --dir ${VEYRA_WINE_DIR})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run;--dir;${VEYRA_WINE_DIR})
  add_test(NAME wine_setup COMMAND ${VEYRA_WINE_RUN} --setup)
  add_test(NAME wine_teardown COMMAND ${VEYRA_WINE_RUN} --shutdown)
  set_tests_properties(wine_setup PROPERTIES FIXTURES_SETUP wine LABELS windows TIMEOUT 300)
  set_tests_properties(wine_teardown PROPERTIES FIXTURES_CLEANUP wine LABELS windows TIMEOUT 120)
  set(VEYRA_PLATFORM_LABEL windows)
else()
  set(VEYRA_PLATFORM_LABEL native)
endif()

# veyra_test_properties(<test> [LABELS ...] [TIMEOUT s])
# Labels every test with its platform; Windows tests need the Wine fixture.
function(veyra_test_properties test)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${test} PROPERTIES
    LABELS "${VEYRA_PLATFORM_LABEL};${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT})
  if(WIN32)
    set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED wine)
  endif()
endfunction()

# veyra_gtest(<name> SOURCES ... [DEPS ...] [LABELS ...] [TIMEOUT s]
#             [SINGLE_THREADED])
# One GoogleTest program, registered as one CTest test. Under the Windows
# build it runs through the Wine wrapper. A SINGLE_THREADED program starts no
# thread and runs nothing that does: ThreadSanitizer has nothing to find
# there, so the TSan build leaves it out.
function(veyra_gtest name)
  cmake_parse_arguments(ARG "SINGLE_THREADED" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  if(ARG_SINGLE_THREADED AND VEYRA_SANITIZE STREQUAL "thread")
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${VEYRA_TEST_COMPILE_OPTIONS})
  target_link_libraries(${name} PRIVATE veyra_options ${ARG_DEPS} GTest::gmock_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  veyra_test_properties(${name} LABELS ${ARG_LABELS} TIMEOUT ${ARG_TIMEOUT})
endfunction()
