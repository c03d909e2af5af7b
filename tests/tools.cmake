# gtest suite of the trelvo program's own parts (tests/tools/): the HDF5
# recorder and the log options. A program of its own, since the program's
# libraries link the shared library, the main suite the static one.
if(TARGET trelvo_cli_log)
  file(GLOB _tools_test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tools/*_test.cpp)
  add_executable(trelvo_tools_tests ${_tools_test_sources})
  target_link_libraries(trelvo_tools_tests PRIVATE trelvo_cli_log GTest::gtest GTest::gtest_main)
  gtest_discover_tests(trelvo_tools_tests TEST_PREFIX tools. DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 120 LABELS log)
endif()
