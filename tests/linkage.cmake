# Checks of the shipped shared library as its users see it: the exported
# symbols, a plain C client, unloading with units open, and an installed tree
# used through find_package and pkg-config.
add_executable(trelvo_c_client ${CMAKE_CURRENT_SOURCE_DIR}/linkage/c_client.c)
set_target_properties(trelvo_c_client PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(trelvo_c_client PRIVATE -Wall -Wextra -Werror -pedantic)
target_link_libraries(trelvo_c_client PRIVATE trelvo)
add_test(NAME linkage.c_client COMMAND trelvo_c_client)

add_test(NAME linkage.exported_symbols
  COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:trelvo> -DMAP=${PROJECT_SOURCE_DIR}/src/api/exports.map
          -P ${CMAKE_CURRENT_SOURCE_DIR}/linkage/check_exports.cmake)

add_executable(trelvo_unload_client ${CMAKE_CURRENT_SOURCE_DIR}/linkage/unload_client.cpp)
target_link_libraries(trelvo_unload_client PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(trelvo_unload_client trelvo)
add_test(NAME linkage.unload_closes_units COMMAND trelvo_unload_client $<TARGET_FILE:trelvo>)
# The library's process-wide state is deliberately never freed (unloading
# closes units from a destructor whose order against static destructors is
# not defined); after dlclose LeakSanitizer would report it as lost.
set_tests_properties(linkage.unload_closes_units PROPERTIES TIMEOUT 60
  ENVIRONMENT "ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=0")

if(NOT TRELVO_SANITIZE)
  add_test(NAME linkage.installed_consumer
    COMMAND ${CMAKE_COMMAND} -DBUILD=${PROJECT_BINARY_DIR} -DSRC=${CMAKE_CURRENT_SOURCE_DIR}/linkage
            -DWORK=${CMAKE_CURRENT_BINARY_DIR}/consumer -P ${CMAKE_CURRENT_SOURCE_DIR}/linkage/consumer.cmake)
  set_tests_properties(linkage.installed_consumer PROPERTIES TIMEOUT 180)
endif()
