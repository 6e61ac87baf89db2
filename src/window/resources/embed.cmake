# Writes a C++ file that holds the bytes of IN as `tobrine_stored_form`.
# Usage: cmake -DIN=<file> -DOUT=<file.cpp> -P embed.cmake
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# One line per 32 bytes keeps the file readable for the compiler's diagnostics.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUT}.tmp"
  "// Generated from ${IN}; do not edit.\n"
  "#include <cstddef>\n"
  "extern \"C\" const unsigned char tobrine_stored_form[] = {\n${bytes}\n0};\n"
  "extern \"C\" const std::size_t tobrine_stored_form_size = ${size};\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
