# Helpers shared by every subsystem.
#
# kettrin_library(NAME DEPS...)    one static library per subsystem folder: every
#                                  *.cpp in src/NAME, linked to DEPS.
# kettrin_executable(NAME SRC... LIBS ...)
#                                  a program of ours: carries the file-version note.
# kettrin_test(NAME DIR LIBS...)   one GoogleTest program per tests/ folder: every
#                                  *.cpp in DIR, registered with CTest.

function(kettrin_library name)
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}/*.cpp)
  if(_sources)
    add_library(kettrin_${name} STATIC ${_sources})
    target_include_directories(kettrin_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src
      ${PROJECT_BINARY_DIR}/generated)
    target_link_libraries(kettrin_${name} PUBLIC ${ARGN})
  else()
    # A subsystem that has no sources yet still links as an empty library.
    add_library(kettrin_${name} INTERFACE)
    target_include_directories(kettrin_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src
      ${PROJECT_BINARY_DIR}/generated)
    target_link_libraries(kettrin_${name} INTERFACE ${ARGN})
  endif()
endfunction()

function(kettrin_executable name)
  cmake_parse_arguments(K "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${K_SOURCES} ${PROJECT_SOURCE_DIR}/src/base/version/VersionNote.S)
  target_link_libraries(${name} PRIVATE ${K_LIBS})
  target_compile_definitions(${name} PRIVATE
    KETTRIN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endfunction()

function(kettrin_test name dir)
  file(GLOB _sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT _sources)
    return()
  endif()
  add_executable(${name} ${_sources} ${PROJECT_SOURCE_DIR}/src/base/version/VersionNote.S)
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE
    KETTRIN_TEST_DATA="${PROJECT_SOURCE_DIR}/tests/data"
    KETTRIN_BINARY_DIR="${PROJECT_BINARY_DIR}")
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
