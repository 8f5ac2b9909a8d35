# Writes OUTPUT, a C++ source defining the std::string_view constants NAMES
# (a list) with the bytes of the files INPUTS (a list, in the same order), so
# that the page's script and style stay files of their own.
set(code "// Made at build time from the page's script and style; do not edit.\n#include \"page_assets.h\"\n")
foreach(name input IN ZIP_LISTS NAMES INPUTS)
  file(READ "${input}" bytes HEX)
  string(LENGTH "${bytes}" hex_length)
  math(EXPR length "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
  string(APPEND code "static const char ${name}_BYTES[] = {${bytes} 0};\n")
  string(APPEND code "const std::string_view ${name}(${name}_BYTES, ${length});\n")
endforeach()
file(WRITE "${OUTPUT}.tmp" "${code}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
