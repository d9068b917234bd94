# Writes a C++ source that defines a byte array with the contents of a file.
# Usage: cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DSYMBOL=<name> -P embed.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n  "
       bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
     "// Generated from ${INPUT}; do not edit.\n"
     "#include \"toolkit/resources.h\"\n\n"
     "extern const unsigned char ${SYMBOL}[] = {\n  ${bytes}\n};\n"
     "extern const std::size_t ${SYMBOL}Size = ${size};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
