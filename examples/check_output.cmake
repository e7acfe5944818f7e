# cmake -DPROGRAM=... [-DARGS=...] -DGOLDEN=... -DOUT=... -P check_output.cmake
# Runs PROGRAM with ARGS; it must end with status 0 and write to standard
# output exactly the text of GOLDEN.  The output is kept in OUT.
string(JOIN " " run ${PROGRAM} ${ARGS})
execute_process(COMMAND ${PROGRAM} ${ARGS} OUTPUT_FILE ${OUT} RESULT_VARIABLE rc)
if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "${run}: exit status ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${GOLDEN} ${OUT} RESULT_VARIABLE same)
if(NOT same EQUAL 0)
  execute_process(COMMAND diff -u ${GOLDEN} ${OUT})
  message(FATAL_ERROR "${run}: the output differs from ${GOLDEN} (kept in ${OUT})")
endif()
