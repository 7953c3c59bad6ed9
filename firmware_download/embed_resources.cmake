# Writes the compiled resource file INPUT into OUTPUT as a byte array named SYMBOL, with its size
# in SYMBOL##Size, for the host build's module loader.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from the compiled resource script.\n#include <stddef.h>\n"
    "extern \"C\" const unsigned char ${SYMBOL}[] = {\n${bytes}\n};\n"
    "extern \"C\" const size_t ${SYMBOL}Size = ${size};\n")
