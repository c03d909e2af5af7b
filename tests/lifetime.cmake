# The shipped library through a process's life: unloading while a background
# open runs, and fork while a unit streams (tests/lifetime/lifetime_client.cpp).
add_executable(trelvo_lifetime_client ${CMAKE_CURRENT_SOURCE_DIR}/lifetime/lifetime_client.cpp)
target_link_libraries(trelvo_lifetime_client PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(trelvo_lifetime_client trelvo)
foreach(_mode unload-during-open fork unload-cycles)
  add_test(NAME lifetime.${_mode} COMMAND trelvo_lifetime_client $<TARGET_FILE:trelvo> ${_mode})
endforeach()
set_tests_properties(lifetime.unload-during-open lifetime.unload-cycles PROPERTIES TIMEOUT 60
  ENVIRONMENT "ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1")
# A forked child keeps the parent's units without closing them.
set_tests_properties(lifetime.fork PROPERTIES TIMEOUT 60
  ENVIRONMENT "ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=0")
