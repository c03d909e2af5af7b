# Tests through the real libusb and usbfs ioctls against units emulated under
# umockdev (tests/umockdev/). They run in the plain and the ASan+UBSan builds;
# not under ThreadSanitizer, which reports races inside umockdev, GLib and
# libudev themselves.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(TRELVO_UMOCKDEV QUIET IMPORTED_TARGET umockdev-1.0 glib-2.0 gobject-2.0)
  pkg_check_modules(TRELVO_LIBUSB QUIET IMPORTED_TARGET libusb-1.0)
endif()

if(TRELVO_SANITIZE MATCHES "thread")
  message(STATUS "umockdev tests: skipped under ThreadSanitizer")
elseif(NOT TRELVO_UMOCKDEV_FOUND OR NOT TRELVO_LIBUSB_FOUND)
  message(WARNING "umockdev tests: umockdev, libumockdev-dev or libusb-1.0-0-dev missing, not built")
else()
  set(_umock ${CMAKE_CURRENT_SOURCE_DIR}/umockdev)

  # Host-side helpers and the holder: another process that claims a unit.
  add_library(trelvo_umock_support STATIC ${_umock}/umock_support.cpp)
  target_include_directories(trelvo_umock_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(trelvo_umock_support PUBLIC PkgConfig::TRELVO_LIBUSB)
  target_compile_definitions(trelvo_umock_support PRIVATE
    TRELVO_UMOCK_HOLDER="$<TARGET_FILE:trelvo_umock_holder>")
  add_executable(trelvo_umock_holder ${_umock}/holder.cpp)
  target_link_libraries(trelvo_umock_holder PRIVATE trelvo_umock_support)

  # The emulated bus: the simulated unit model behind a usbdevfs ioctl handler.
  add_library(trelvo_umock STATIC ${_umock}/emulated_bus.cpp)
  target_include_directories(trelvo_umock PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(trelvo_umock PUBLIC trelvo_static PkgConfig::TRELVO_UMOCKDEV)

  # Runs a program against emulated units (the installed-consumer check, the
  # benchmark); loads and unloads the library while it streams.
  add_executable(trelvo_umock_host ${_umock}/host.cpp)
  target_link_libraries(trelvo_umock_host PRIVATE trelvo_umock)
  add_executable(trelvo_stream_probe ${_umock}/stream_probe.cpp)
  target_link_libraries(trelvo_stream_probe PRIVATE trelvo)
  add_executable(trelvo_umock_unload ${_umock}/unload_child.cpp)
  target_link_libraries(trelvo_umock_unload PRIVATE ${CMAKE_DL_LIBS})

  # Every test runs in its own process (with its own testbed); the program
  # runs itself again under umockdev's preload library (umock_main.cpp).
  file(GLOB _umock_tests CONFIGURE_DEPENDS ${_umock}/*_test.cpp)
  add_executable(trelvo_umock_tests ${_umock_tests} ${_umock}/umock_main.cpp)
  target_link_libraries(trelvo_umock_tests PRIVATE trelvo_umock trelvo_umock_support GTest::gtest)
  target_compile_definitions(trelvo_umock_tests PRIVATE
    TRELVO_UMOCK_LSAN_SUPPRESSIONS="${_umock}/lsan.supp"
    TRELVO_UMOCK_FIRMWARE_HEX="${TRELVO_FIRMWARE_HEX}"
    TRELVO_UMOCK_UNLOAD="$<TARGET_FILE:trelvo_umock_unload>" TRELVO_UMOCK_LIBRARY="$<TARGET_FILE:trelvo>")
  add_dependencies(trelvo_umock_tests trelvo_umock_holder trelvo_umock_unload trelvo)
  # The firmware-file tests run once the library reads TRELVO_FIRMWARE.
  file(GLOB_RECURSE _firmware_file ${PROJECT_SOURCE_DIR}/src/*/firmware_file.cpp)
  if(_firmware_file)
    target_compile_definitions(trelvo_umock_tests PRIVATE TRELVO_UMOCK_FIRMWARE_FILE=1)
  endif()
  gtest_discover_tests(trelvo_umock_tests TEST_PREFIX umockdev. DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 60 LABELS umockdev)

  # An application built against the installed library opens, captures from
  # and closes an emulated unit (installing needs the plain build).
  if(NOT TRELVO_SANITIZE)
    add_test(NAME umockdev.installed_consumer
      COMMAND ${CMAKE_COMMAND} -DBUILD=${PROJECT_BINARY_DIR} -DSRC=${_umock}
              -DWORK=${CMAKE_CURRENT_BINARY_DIR}/umock-consumer -DHOST=$<TARGET_FILE:trelvo_umock_host>
              -P ${_umock}/consumer.cmake)
    set_tests_properties(umockdev.installed_consumer PROPERTIES TIMEOUT 180 LABELS umockdev)
  endif()
endif()
