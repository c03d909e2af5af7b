# The shipped library through a process's life: unloading while a background
# open runs, and fork while a unit streams (tests/lifetime/lifetime_client.cpp).
add_executable(trelvo_lifetime_client ${CMAKE_CURRENT_SOURCE_DIR}/lifetime/lifetime_client.cpp)
target_link_libraries(trelvo_lifetime_client PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(trelvo_lifetime_client trelvo)
foreach(_mode unload-during-open fork)
  add_test(NAME lifetime.${_mode} COMMAND trelvo_lifetime_client $<TARGET_FILE:trelvo> ${_mode})
  # The library's process-wide state is never freed (see linkage.cmake), and
  # a forked child keeps the parent's units without closing them.
  set_tests_properties(lifetime.${_mode} PROPERTIES TIMEOUT 60
    ENVIRONMENT "ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=0")
endforeach()
