# Regenerates the type reference and compares it with the committed one.
execute_process(COMMAND ${PY} ${GEN} --schema ${SCHEMA} --out ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "drovdocs failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${DOC} RESULT_VARIABLE same)
if(NOT same EQUAL 0)
  message(FATAL_ERROR "docs/types.md is out of date: run `cmake --build <build> --target docs`")
endif()
