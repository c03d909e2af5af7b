# Tests through the real Linux USB stack (tests/kernel/): a USB/IP emulation
# of the unit for vhci-hcd and the library's tests that run inside a QEMU
# guest (scripts/kernel-usb/run.sh, the stage scripts/stages/40-kernel-usb.sh).
# Built here; run by the stage, not by ctest, except the pure parts below.
set(_kernel ${CMAKE_CURRENT_SOURCE_DIR}/kernel)
add_library(trelvo_usbip_device STATIC ${_kernel}/usbip_wire.cpp ${_kernel}/unit_device.cpp)
target_include_directories(trelvo_usbip_device PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(trelvo_usbip_device PUBLIC trelvo_static)

add_executable(trelvo_usbip_units ${_kernel}/usbip_units.cpp)
target_link_libraries(trelvo_usbip_units PRIVATE trelvo_usbip_device Threads::Threads)

# The wire format and the device's URB answers, on the host.
target_sources(trelvo_tests PRIVATE ${_kernel}/usbip_wire.cpp ${_kernel}/unit_device.cpp)

if(NOT TRELVO_SANITIZE)
  # The in-guest suite: the C API on emulated units the kernel enumerated.
  add_executable(trelvo_kernel_unload ${CMAKE_CURRENT_SOURCE_DIR}/umockdev/unload_child.cpp)
  target_link_libraries(trelvo_kernel_unload PRIVATE ${CMAKE_DL_LIBS})
  add_executable(trelvo_kernel_tests ${_kernel}/kernel_test.cpp)
  target_link_libraries(trelvo_kernel_tests PRIVATE trelvo GTest::gtest Threads::Threads)
  target_include_directories(trelvo_kernel_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(trelvo_kernel_tests PRIVATE
    TRELVO_KERNEL_UNITS="$<TARGET_FILE:trelvo_usbip_units>"
    TRELVO_KERNEL_LIBRARY="$<TARGET_FILE:trelvo>"
    TRELVO_KERNEL_UNLOAD="$<TARGET_FILE:trelvo_kernel_unload>"
    TRELVO_KERNEL_FIRMWARE="${PROJECT_SOURCE_DIR}/firmware/trelvo_fw.hex")
  add_dependencies(trelvo_kernel_tests trelvo_usbip_units trelvo_kernel_unload trelvo)
endif()
