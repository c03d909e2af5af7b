# Tests of the trelvo program, run as a user runs it against simulated units.
# One CTest test per test method of cli_test.py, each in its own process with
# its own lock directory.
if(TARGET trelvo_cli)
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND)
    file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/cli_test.py _cli_test_lines REGEX "^    def test_")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${CMAKE_CURRENT_SOURCE_DIR}/cli_test.py)
    foreach(_line IN LISTS _cli_test_lines)
      string(REGEX REPLACE "^    def (test_[a-z0-9_]+).*" "\\1" _name "${_line}")
      string(REGEX REPLACE "^test_" "" _short "${_name}")
      add_test(NAME cli.${_short}
               COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/cli_test.py
                       --program $<TARGET_FILE:trelvo_cli> CliTest.${_name})
      set_tests_properties(cli.${_short} PROPERTIES TIMEOUT 180 LABELS cli)
    endforeach()
  else()
    message(WARNING "python3 not found: the trelvo program's tests are not registered")
  endif()
endif()
