# Runs a test executable with a temporary folder of its own and fails when the run leaves anything in it.
# Usage: cmake -DCOMMAND=<executable> -DARGS=<;-list> -DFOLDER=<path> -P LeavesNoTemporaryFiles.cmake
file(REMOVE_RECURSE "${FOLDER}")
file(MAKE_DIRECTORY "${FOLDER}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env "TMPDIR=${FOLDER}" "${COMMAND}" ${ARGS} RESULT_VARIABLE result)
file(GLOB left LIST_DIRECTORIES true "${FOLDER}/*")
file(REMOVE_RECURSE "${FOLDER}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${COMMAND} failed: ${result}")
endif()
if(left)
  message(FATAL_ERROR "${COMMAND} left files behind: ${left}")
endif()
