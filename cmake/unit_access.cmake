# The unit's USB vendor identifier and what follows from it: the constant the
# library and the simulator use (generated build_settings.h) and the udev rule
# that lets users open units without root.

set(TRELVO_VENDOR_ID "0xF7E1" CACHE STRING
    "USB vendor id of the unit (0x followed by four hex digits)")
if(NOT TRELVO_VENDOR_ID MATCHES "^0[xX][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]$")
  message(FATAL_ERROR "TRELVO_VENDOR_ID must be 0x followed by four hex digits, not '${TRELVO_VENDOR_ID}'")
endif()
string(SUBSTRING "${TRELVO_VENDOR_ID}" 2 4 _vendor_digits)
string(TOLOWER "${_vendor_digits}" TRELVO_VENDOR_ID_UDEV)  # sysfs writes it in lower case

# udev reads /usr/lib/udev/rules.d and /etc/udev/rules.d only. A relative
# directory lies under the install prefix (right for --prefix /usr); with
# /usr/local the installed rule must be copied to /etc/udev/rules.d.
set(TRELVO_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where cmake --install puts 70-trelvo.rules (relative: under the install prefix)")
if(IS_ABSOLUTE "${TRELVO_UDEV_RULES_DIR}")
  set(TRELVO_UDEV_RULE_FILE "${TRELVO_UDEV_RULES_DIR}/70-trelvo.rules")
else()
  set(TRELVO_UDEV_RULE_FILE "${CMAKE_INSTALL_PREFIX}/${TRELVO_UDEV_RULES_DIR}/70-trelvo.rules")
endif()

# The data directory where the library looks for trelvo_fw.hex at run time.
# Nothing is installed there: the unit maker's firmware is the user's to add.
# On Windows an installed tree is wherever the user put it, so the directory
# is taken relative to Trelvo.dll (installed in bin/): ..\share\trelvo.
if(WIN32)
  file(RELATIVE_PATH TRELVO_FIRMWARE_DIR "${CMAKE_INSTALL_FULL_BINDIR}"
       "${CMAKE_INSTALL_FULL_DATADIR}/trelvo")
  set(TRELVO_FIRMWARE_DIR_RELATIVE true)
else()
  set(TRELVO_FIRMWARE_DIR "${CMAKE_INSTALL_FULL_DATADIR}/trelvo")
  set(TRELVO_FIRMWARE_DIR_RELATIVE false)
endif()

configure_file(${PROJECT_SOURCE_DIR}/cmake/build_settings.h.in
               ${PROJECT_BINARY_DIR}/src/generated/build_settings.h @ONLY)

if(NOT WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/udev/70-trelvo.rules.in
                 ${PROJECT_BINARY_DIR}/udev/70-trelvo.rules @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/udev/70-trelvo.rules
          DESTINATION ${TRELVO_UDEV_RULES_DIR} COMPONENT udev)
endif()
