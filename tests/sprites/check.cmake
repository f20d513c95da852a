# rle565_add_sprites() in a project that takes rle565 by add_subdirectory
# (RLE565_RUNTIME_ONLY) and the converter from the cache variable
# RLE565_CONVERTER: names, sizes and dimensions in the header, the bytes
# behind them, their section, one build step per image with only a changed
# image converted again, and the errors for two files of one name and for
# COLORS without rle565-pack.
#   cmake -DSOURCE_DIR=... -DWORK=... -DGENERATOR=... -DCONVERTER=... -DOBJDUMP=...
#         -P check.cmake
file(REMOVE_RECURSE ${WORK})
set(art ${WORK}/art)
file(MAKE_DIRECTORY ${art}/sub ${WORK}/expect ${WORK}/clash)

function(run what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${what} failed (${status}):\n${out}")
    endif()
    set(out "${out}" PARENT_SCOPE)
endfunction()

function(fails what expected)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(status EQUAL 0)
        message(FATAL_ERROR "${what} succeeded")
    endif()
    string(REGEX REPLACE "[ \n]+" " " out "${out}")
    if(NOT out MATCHES "${expected}")
        message(FATAL_ERROR "${what} failed without saying \"${expected}\":\n${out}")
    endif()
endfunction()

# Lines that name the steps: "Sprite <file>" and the compilations.
function(steps out_var log pattern)
    string(REPLACE "\n" ";" lines "${log}")
    set(found)
    foreach(line ${lines})
        if(line MATCHES "${pattern}")
            list(APPEND found "${CMAKE_MATCH_1}")
        endif()
    endforeach()
    set(${out_var} "${found}" PARENT_SCOPE)
endfunction()

set(sprite ${SOURCE_DIR}/examples/sprite.bmp)
set(many ${SOURCE_DIR}/tests/data/bmpsuite/g/rgb24.bmp)
file(COPY_FILE ${sprite} ${art}/hero-1.bmp)
file(COPY_FILE ${sprite} ${art}/1up.bmp)
file(COPY_FILE ${sprite} ${art}/sub/2Coin.Big.bmp)
file(COPY_FILE ${many} ${art}/title.Bmp)
file(WRITE ${art}/notes.txt "not an image\n")
run("converting" ${CONVERTER} r ${sprite} ${WORK}/ready.rle)

# What the header must say, from the converter run by hand.
run("converting" ${CONVERTER} r ${sprite} ${WORK}/expect/sprite.rle)
run("converting" ${CONVERTER} r -v2 ${many} ${WORK}/expect/many.rle)
file(SIZE ${WORK}/expect/sprite.rle sprite_size)
file(SIZE ${WORK}/expect/many.rle many_size)
set(expected "art__1up ${sprite_size} 64 64\nart_hero_1 ${sprite_size} 64 64\n")
string(APPEND expected "art_ready ${sprite_size} 64 64\nart_sub_2coin_big ${sprite_size} 64 64\n")
string(APPEND expected "art_title ${many_size} 127 64\n")

set(project ${SOURCE_DIR}/tests/sprites)
set(configure ${CMAKE_COMMAND} -S ${project} -G ${GENERATOR} -DRLE565_SOURCE_DIR=${SOURCE_DIR}
    -DART=${art} -DSINGLE=${WORK}/ready.rle -DRLE565_CONVERTER=${CONVERTER})
run("configuring" ${configure} -B ${WORK}/build)
run("building" ${CMAKE_COMMAND} --build ${WORK}/build)
steps(converted "${out}" "Sprite ([^ ]+)")
list(LENGTH converted count)
if(NOT count EQUAL 5)
    message(FATAL_ERROR "5 sprite steps expected, not: ${converted}")
endif()
run("running" ${WORK}/build/show)
if(NOT out STREQUAL expected)
    message(FATAL_ERROR "the sprites are\n${out}instead of\n${expected}")
endif()

file(READ ${WORK}/build/art-sprites/include/art.h header)
foreach(line "#define ART_HERO_1_SIZE ${sprite_size}\n" "#define ART_TITLE_WIDTH 127\n"
        "#define ART_TITLE_HEIGHT 64\n" "extern const uint8_t art_hero_1[ART_HERO_1_SIZE];\n")
    string(FIND "${header}" "${line}" at)
    if(at LESS 0)
        message(FATAL_ERROR "art.h lacks ${line}:\n${header}")
    endif()
endforeach()
file(GLOB library ${WORK}/build/*art*.a)
run("reading the sections" ${OBJDUMP} -h ${library})
if(NOT out MATCHES "\\.rodata\\.art")
    message(FATAL_ERROR "the sprites are not in .rodata.art:\n${out}")
endif()

# A touched image is converted again, alone; its bytes are the same, so
# nothing is compiled.
execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1)
file(TOUCH ${art}/hero-1.bmp)
run("building after a touch" ${CMAKE_COMMAND} --build ${WORK}/build)
steps(converted "${out}" "Sprite ([^ ]+)")
steps(compiled "${out}" "Building C object .*/([^/ ]+\\.o)")
if(NOT converted MATCHES "^[^;]*hero-1\\.bmp$" OR compiled)
    message(FATAL_ERROR "after a touch: converted ${converted}, compiled ${compiled}")
endif()

# A changed image: its array and what includes the header are compiled again.
file(COPY_FILE ${many} ${art}/hero-1.bmp)
run("building after a change" ${CMAKE_COMMAND} --build ${WORK}/build)
steps(converted "${out}" "Sprite ([^ ]+)")
steps(compiled "${out}" "Building C object .*/([^/ ]+\\.o)")
list(SORT compiled)
if(NOT converted MATCHES "^[^;]*hero-1\\.bmp$" OR NOT compiled MATCHES "^art_hero_1\\.c\\.o;show\\.c\\.o$")
    message(FATAL_ERROR "after a change: converted ${converted}, compiled ${compiled}")
endif()
run("running" ${WORK}/build/show)
if(NOT out MATCHES "art_hero_1 ${many_size} 127 64\n")
    message(FATAL_ERROR "the changed sprite is not in the program:\n${out}")
endif()

# Two files of one name, and COLORS without rle565-pack.
file(COPY_FILE ${sprite} ${WORK}/clash/Hero_1.bmp)
file(COPY_FILE ${SOURCE_DIR}/tests/data/png/g8.png ${WORK}/clash/hero-1.png)
fails("two files of one name" "Hero_1.bmp and .*hero-1.png both make the sprite hero_1"
    ${configure} -B ${WORK}/clash-build -DCLASH=${WORK}/clash)
fails("COLORS without rle565-pack" "COLORS and DITHER need rle565-pack"
    ${configure} -B ${WORK}/colors-build -DCOLORS=16)
# With rle565-pack (here a stand-in that notes its options and converts with
# rle565 r -v2) named by RLE565_PACK, every image goes through it, and COLORS
# and DITHER reach it.
file(COPY_FILE ${sprite} ${art}/hero-1.bmp)
set(ENV{RLE565_FAKE_CONVERTER} ${CONVERTER})
set(ENV{RLE565_FAKE_LOG} ${WORK}/pack.log)
run("configuring with rle565-pack" ${configure} -B ${WORK}/pack-build -DCOLORS=16
    -DRLE565_PACK=${SOURCE_DIR}/tests/sprites/fake_pack.sh)
run("building with rle565-pack" ${CMAKE_COMMAND} --build ${WORK}/pack-build)
run("running" ${WORK}/pack-build/show)
if(NOT out STREQUAL expected)
    message(FATAL_ERROR "the sprites from rle565-pack are\n${out}instead of\n${expected}")
endif()
file(STRINGS ${WORK}/pack.log calls)
list(FILTER calls INCLUDE REGEX "^-j 1 --colors 16 -o .*/reduced-sprites/hero_1 .*/hero-1\\.bmp$")
list(LENGTH calls count)
file(READ ${WORK}/pack.log log)
if(NOT count EQUAL 1 OR NOT log MATCHES "-j 1 -o [^ ]*/art-sprites/art_hero_1 [^ ]*/hero-1\\.bmp\n")
    message(FATAL_ERROR "rle565-pack was called so:\n${log}")
endif()

message("rle565_add_sprites: names, bytes, sections and rebuilds as expected")
file(REMOVE_RECURSE ${WORK})
