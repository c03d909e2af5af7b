# The firmware file and the udev rule: the HEX file the library was built
# from (the reader must yield the same image), and the rule as installed.
target_compile_definitions(trelvo_tests PRIVATE TRELVO_TEST_FIRMWARE_HEX="${TRELVO_FIRMWARE_HEX}")

if(NOT WIN32)
  add_test(NAME udev.installed_rule
    COMMAND ${CMAKE_COMMAND} -DBUILD=${PROJECT_BINARY_DIR} -DWORK=${CMAKE_CURRENT_BINARY_DIR}/udev-install
            -DVENDOR=${TRELVO_VENDOR_ID_UDEV} -DRULES_DIR=${TRELVO_UDEV_RULES_DIR}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/linkage/check_udev_rule.cmake)
  set_tests_properties(udev.installed_rule PROPERTIES TIMEOUT 60)
endif()
