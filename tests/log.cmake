# Tests of `trelvo log` and `trelvo export` (tests/log_test.py), one CTest test
# per test method. They read the HDF5 files with h5py, which the Debian
# python3-h5py package gives to /usr/bin/python3.
if(TARGET trelvo_cli)
  set(_log_python /usr/bin/python3)
  if(EXISTS ${_log_python})
    execute_process(COMMAND ${_log_python} -c "import h5py, numpy" RESULT_VARIABLE _log_h5py
                    OUTPUT_QUIET ERROR_QUIET)
  endif()
  if(NOT EXISTS ${_log_python} OR NOT _log_h5py EQUAL 0)
    message(WARNING "/usr/bin/python3 with h5py and numpy not found (Debian: python3-h5py): "
                    "the tests of trelvo log are not registered")
  else()
    file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/log_test.py _log_test_lines REGEX "^    def test_")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${CMAKE_CURRENT_SOURCE_DIR}/log_test.py)
    foreach(_line IN LISTS _log_test_lines)
      string(REGEX REPLACE "^    def (test_[a-z0-9_]+).*" "\\1" _name "${_line}")
      string(REGEX REPLACE "^test_" "" _short "${_name}")
      add_test(NAME log.${_short}
               COMMAND ${_log_python} ${CMAKE_CURRENT_SOURCE_DIR}/log_test.py
                       --program $<TARGET_FILE:trelvo_cli> LogTest.${_name})
      set_tests_properties(log.${_short} PROPERTIES TIMEOUT 240 LABELS log)
    endforeach()
  endif()
endif()
