# Writes a C++ source holding the schema text: cmake -DIN=schema -DOUT=file.cpp -P embed_schema.cmake
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUT}.tmp
  "// Generated from ${IN} by embed_schema.cmake; do not edit.\n"
  "#include <cstddef>\n"
  "extern \"C\" const char drovdef_schema_text[] = {\n${bytes}'\\0'};\n"
  "extern \"C\" const std::size_t drovdef_schema_size = ${size};\n")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
