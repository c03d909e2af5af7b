# Installs the build into a scratch prefix, builds umock_consumer.c against it
# with find_package(Trelvo) and runs it on a unit emulated under umockdev
# (trelvo_umock_host), without TRELVO_SIMULATE: the unit must have seen the
# application's commands and stream.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/project)
set(prefix ${WORK}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
file(WRITE ${WORK}/project/CMakeLists.txt
  "cmake_minimum_required(VERSION 3.25)\nproject(consumer C)\nfind_package(Trelvo 1.0 REQUIRED)\n"
  "add_executable(consumer ${SRC}/umock_consumer.c)\ntarget_link_libraries(consumer PRIVATE Trelvo::trelvo)\n")
execute_process(COMMAND ${CMAKE_COMMAND} -S ${WORK}/project -B ${WORK}/project/build
                -DCMAKE_PREFIX_PATH=${prefix} RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer failed to configure")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/project/build RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer failed to build")
endif()
unset(ENV{TRELVO_SIMULATE})
execute_process(COMMAND ${HOST} -- ${WORK}/project/build/consumer
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer failed on the emulated unit")
endif()
if(NOT out MATCHES "commands [1-9][0-9]*, stream packets [1-9]")
  message(FATAL_ERROR "the emulated unit saw no commands or no stream")
endif()
