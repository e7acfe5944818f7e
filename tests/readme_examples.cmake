# The README shows the examples' output as the golden files have it: each
# file named in FILES appears there whole, as one code block.
file(READ ${README} readme)
foreach(name ${FILES})
  file(READ ${GOLDEN_DIR}/${name} golden)
  string(FIND "${readme}" "```\n${golden}```\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "README.md does not show ${name} as it is in ${GOLDEN_DIR}")
  endif()
endforeach()
