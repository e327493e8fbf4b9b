# sentro_module(NAME DIR DEPS...): a static library of every .cc file in DIR
# and its subfolders, but main.cc, which belongs to an executable.
function(sentro_module name dir)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cc)
  list(FILTER sources EXCLUDE REGEX "/main\\.cc$")
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

# sentro_test(NAME DIR DEPS...): one GoogleTest executable of every
# *_test.cc file in tests/DIR, registered with CTest. Extra test properties
# can be given in SENTRO_TEST_PROPERTIES.
function(sentro_test name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${dir}/*.cc)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARGN} sentro_testsupport GTest::gmock GTest::gtest_main)
  # Table rows name only the fields they set (designated initializers); the
  # rest keep their defaults on purpose.
  target_compile_options(${name} PRIVATE -Wno-missing-field-initializers)
  # The source tree is compiled in: gtest_discover_tests splits a property
  # value at ";", so an ENVIRONMENT of two entries would shift every property
  # after it onto the wrong name.
  target_compile_definitions(${name} PRIVATE SENTRO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "SENTRO_BUILD_DIR=${CMAKE_BINARY_DIR}" ${SENTRO_TEST_PROPERTIES})
endfunction()
