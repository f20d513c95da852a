# Writes sprites out as C for rle565_add_sprites(); run with cmake -P, so it
# needs nothing but CMake.
#
# One sprite: the RLE file's bytes as a const array in C_FILE, and its
# declarations (size, width, height, array) in PART:
#   cmake -DRLE=x.rle -DNAME=hero_1 -DSHOWN=sprites/hero-1.png -DC_FILE=x.c
#         -DPART=x.part.h [-DSECTION=name] -P rle565_embed.cmake
# The header: the parts listed in PARTS (one path a line) under one guard:
#   cmake -DHEADER=x.h -DPARTS=parts.txt -DGUARD=X_H -DTARGET=x -P rle565_embed.cmake
# Files are written only when their text changes, so that the build does not
# recompile what includes or compiles them.
cmake_minimum_required(VERSION 3.20)

function(write_if_changed path text)
    if(EXISTS ${path})
        file(READ ${path} old)
        if(old STREQUAL text)
            return()
        endif()
    endif()
    file(WRITE ${path} "${text}")
endfunction()

if(DEFINED HEADER)
    file(STRINGS ${PARTS} parts)
    set(text "/* The sprites of ${TARGET}, made by rle565_add_sprites(): each one an RLE\n")
    string(APPEND text " * file's bytes, const and aligned to 4 bytes, for <rle565/draw.h>.\n")
    string(APPEND text " * Generated; do not edit. */\n")
    string(APPEND text "#ifndef ${GUARD}\n#define ${GUARD}\n\n#include <stdint.h>\n\n")
    string(APPEND text "#ifdef __cplusplus\nextern \"C\" {\n#endif\n")
    foreach(part ${parts})
        file(READ ${part} declarations)
        string(APPEND text "\n${declarations}")
    endforeach()
    string(APPEND text "\n#ifdef __cplusplus\n}\n#endif\n\n#endif\n")
    write_if_changed(${HEADER} "${text}")
    return()
endif()

file(READ ${RLE} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
# "RL", then the flags, width and height, little-endian.
if(size LESS 12 OR NOT hex MATCHES "^524c")
    message(FATAL_ERROR "${SHOWN}: ${RLE} is not an RLE file")
endif()
string(SUBSTRING "${hex}" 8 2 low)
string(SUBSTRING "${hex}" 10 2 high)
math(EXPR width "0x${high}${low}")
string(SUBSTRING "${hex}" 12 2 low)
string(SUBSTRING "${hex}" 14 2 high)
math(EXPR height "0x${high}${low}")

string(TOUPPER "${NAME}" macro)
set(part "/* ${SHOWN} */\n")
string(APPEND part "#define ${macro}_SIZE ${size}\n")
string(APPEND part "#define ${macro}_WIDTH ${width}\n")
string(APPEND part "#define ${macro}_HEIGHT ${height}\n")
string(APPEND part "extern const uint8_t ${NAME}[${macro}_SIZE];\n")

# Sixteen bytes a line.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
string(REPEAT "0x[0-9a-f][0-9a-f], " 16 line)
string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
string(REPLACE " \n" "\n" bytes "${bytes}")
string(STRIP "${bytes}" bytes)

# Aligned to 4 bytes (and in SECTION), in whatever way the compiler knows.
set(text "/* ${SHOWN} as an RLE sprite, made by rle565_add_sprites(). Generated; do not edit. */\n")
string(APPEND text "#include <stdint.h>\n\n")
string(APPEND text "#if defined(__GNUC__) || defined(__clang__)\n")
if(DEFINED SECTION)
    string(APPEND text "#define RLE565_SPRITE_PLACE __attribute__((aligned(4), section(\"${SECTION}\")))\n")
    string(APPEND text "#else\n#error \"SECTION needs GCC's or clang's section attribute\"\n")
else()
    string(APPEND text "#define RLE565_SPRITE_PLACE __attribute__((aligned(4)))\n")
    string(APPEND text "#elif defined(_MSC_VER)\n#define RLE565_SPRITE_PLACE __declspec(align(4))\n")
    string(APPEND text "#else\n#define RLE565_SPRITE_PLACE _Alignas(4)\n")
endif()
string(APPEND text "#endif\n\n")
string(APPEND text "extern const uint8_t ${NAME}[${size}];\n")
string(APPEND text "RLE565_SPRITE_PLACE const uint8_t ${NAME}[${size}] = {\n    ${bytes}\n};\n")
write_if_changed(${C_FILE} "${text}")
write_if_changed(${PART} "${part}")
