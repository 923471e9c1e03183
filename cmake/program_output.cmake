# Runs a program and writes what it prints to a file, failing the build when the
# program fails: cmake -DPROGRAM=... -DARGUMENT=... -DOUTPUT=... -P program_output.cmake
foreach(var PROGRAM ARGUMENT OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "program_output: ${var} is not set")
  endif()
endforeach()
get_filename_component(folder "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${folder}")
execute_process(COMMAND "${PROGRAM}" "${ARGUMENT}" OUTPUT_FILE "${OUTPUT}.new"
                RESULT_VARIABLE rc ERROR_VARIABLE err TIMEOUT 60)
if(NOT rc EQUAL 0)
  file(REMOVE "${OUTPUT}.new")
  message(FATAL_ERROR "${PROGRAM} ${ARGUMENT} failed (${rc}): ${err}")
endif()
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
