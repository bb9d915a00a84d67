# cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DNAME=<function> -P embed_file.cmake
# Writes a C++ source whose function kestrin::NAME() gives the input file's bytes.
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT}; do not edit.\n"
"#include <span>\n\n"
"namespace kestrin {\n"
"namespace {\n"
"const unsigned char kBytes[] = {\n${bytes}\n};\n"
"}  // namespace\n\n"
"std::span<const unsigned char> ${NAME}() noexcept { return kBytes; }\n\n"
"}  // namespace kestrin\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
