# Writes OUTPUT, a C++ source that defines `const unsigned char NAME[]` as the bytes of INPUT
# followed by a NUL: the report page's template, kept as a page of its own to edit.
#   cmake -DINPUT=... -DOUTPUT=... -DNAME=... -P embed.cmake
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.new"
     "// Made from ${INPUT} by embed.cmake.\n"
     "extern const unsigned char ${NAME}[];\n"
     "const unsigned char ${NAME}[] = {\n    ${bytes}0x00};\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
