# Project-wide warning flags. CI=true turns warnings into errors.
add_library(kestrin_warnings INTERFACE)
target_compile_options(kestrin_warnings INTERFACE -Wall -Wextra -Wpedantic)
if("$ENV{CI}" STREQUAL "true")
  target_compile_options(kestrin_warnings INTERFACE -Werror)
endif()

# kestrin_library(<name> SOURCES ...): one core library with src/ on its include path.
function(kestrin_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE kestrin_warnings)
endfunction()

# kestrin_test(<name> SOURCES ... LIBS ...): one GoogleTest program, each case registered with ctest.
function(kestrin_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main kestrin_warnings)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}")
endfunction()
