# The live view's protocol (pure code of tools/serve/): its own gtest binary,
# built when the trelvo program is.
if(TARGET trelvo_serve_protocol)
  add_executable(trelvo_serve_tests ${CMAKE_CURRENT_SOURCE_DIR}/serve/protocol_test.cpp)
  target_link_libraries(trelvo_serve_tests PRIVATE trelvo_serve_protocol GTest::gtest
                                                   GTest::gtest_main)
  gtest_discover_tests(trelvo_serve_tests TEST_PREFIX "serve." DISCOVERY_TIMEOUT 60)
endif()
