# rle565_add_sprites(<target> [COLORS n] [DITHER] [MULTIPAL] [SECTION name]
#                    [NAMESPACE prefix] SOURCES image.png image.bmp folder/ ...)
#
# Makes the static library <target>, whose objects hold the sprites as const
# arrays aligned to 4 bytes, and the header <target>.h that declares them:
# for sprites/hero-1.png
#     #define HERO_1_SIZE 1487
#     #define HERO_1_WIDTH 64
#     #define HERO_1_HEIGHT 64
#     extern const uint8_t hero_1[HERO_1_SIZE];
# Linking <target> puts the header's folder on the include path.
#
# SOURCES names images (.png, .bmp, or .rle files taken as they are; also
# ones that custom commands of the calling folder make) and folders,
# searched with their sub-folders for such files. A sprite's C name
# is its path below the folder named (a file named on its own: its name),
# without the extension, in lower case, every character other than a letter
# or digit made `_`, a `_` before a leading digit, and NAMESPACE in front;
# two files with one name are an error. MULTIPAL converts images of more
# than 252 colours with several palettes (`rle565 r -v2`); COLORS n and
# DITHER reduce the colours first, which needs rle565-pack; SECTION places
# the arrays in that linker section (GCC and clang).
#
# Each image is one build step (converted, then written out as C), so
# parallel builds convert images side by side and a changed image is the
# only one converted again. The converter runs on the build machine; it is,
# in this order:
#   - the program the cache variables RLE565_PACK or RLE565_CONVERTER name
#     (rle565-pack, or rle565);
#   - the targets rle565::pack (rle565-pack) or rle565::rle565: an installed
#     package (find_package(rle565)) or this project's own build (not
#     cross-compiled);
#   - built for the build machine from this project's source tree with
#     ExternalProject (a C++20 compiler and libspng needed there), when the
#     function comes from the source tree; RLE565_HOST_BUILD_TYPE picks its
#     build type.
include_guard(GLOBAL)

set(RLE565_CONVERTER "" CACHE FILEPATH
    "rle565 for the build machine, which rle565_add_sprites() runs (empty: found or built)")
set(RLE565_PACK "" CACHE FILEPATH
    "rle565-pack for the build machine, which rle565_add_sprites() runs in place of rle565")
set(RLE565_HOST_BUILD_TYPE Release CACHE STRING
    "Build type of the converter that rle565_add_sprites() builds for the build machine")

# The converter: sets <prefix>_KIND (pack or rle565), <prefix>_COMMAND (what
# COMMAND runs) and <prefix>_DEPENDS (what a conversion depends on).
function(_rle565_sprite_converter prefix)
    set(kind)
    if(RLE565_PACK)
        set(kind pack)
        set(command ${RLE565_PACK})
        set(depends ${RLE565_PACK})
    elseif(RLE565_CONVERTER)
        set(kind rle565)
        set(command ${RLE565_CONVERTER})
        set(depends ${RLE565_CONVERTER})
    elseif(TARGET rle565::pack OR TARGET rle565-pack)
        # An installed package's, or this project's own build's.
        set(kind pack)
        if(TARGET rle565-pack)
            set(command rle565-pack)
        else()
            set(command rle565::pack)
        endif()
        set(depends ${command})
    elseif(TARGET rle565::rle565)
        set(kind rle565)
        get_target_property(aliased rle565::rle565 ALIASED_TARGET)
        if(aliased)
            set(command ${aliased})
        else()
            set(command rle565::rle565)
        endif()
        set(depends ${command})
    else()
        get_filename_component(tree ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/.. ABSOLUTE)
        if(NOT EXISTS ${tree}/tool/main.cpp)
            message(FATAL_ERROR "rle565_add_sprites: no converter for the build machine; "
                "find_package(rle565) gives one, or set RLE565_CONVERTER to an rle565 program")
        endif()
        if(NOT TARGET rle565_host_tools)
            include(ExternalProject)
            set(host_dir ${CMAKE_BINARY_DIR}/rle565-host)
            # The build machine's own compilers: no toolchain file is passed on.
            ExternalProject_Add(rle565_host_tools
                SOURCE_DIR ${tree}
                BINARY_DIR ${host_dir}
                CMAKE_ARGS -DCMAKE_BUILD_TYPE=${RLE565_HOST_BUILD_TYPE} -DRLE565_TESTS=OFF
                    -DRLE565_RUNTIME_ONLY=OFF
                BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target rle565
                BUILD_ALWAYS ON
                BUILD_BYPRODUCTS ${host_dir}/tool/rle565
                INSTALL_COMMAND ""
                USES_TERMINAL_BUILD ON)
            message(STATUS "rle565_add_sprites: rle565 is built for the build machine in ${host_dir}")
        endif()
        set(kind rle565)
        set(command ${CMAKE_BINARY_DIR}/rle565-host/tool/rle565)
        set(depends ${command} rle565_host_tools)
    endif()
    set(${prefix}_KIND ${kind} PARENT_SCOPE)
    set(${prefix}_COMMAND ${command} PARENT_SCOPE)
    set(${prefix}_DEPENDS ${depends} PARENT_SCOPE)
endfunction()

# A sprite's C name from its path below the folder it was found in.
function(_rle565_sprite_name out relative prefix)
    string(REGEX REPLACE "\\.[^./]*$" "" name "${relative}")
    string(TOLOWER "${name}" name)
    string(REGEX REPLACE "[^a-z0-9]" "_" name "${name}")
    if(name MATCHES "^[0-9]")
        set(name "_${name}")
    endif()
    set(${out} "${prefix}${name}" PARENT_SCOPE)
endfunction()

function(rle565_add_sprites target)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "DITHER;MULTIPAL" "COLORS;SECTION;NAMESPACE" "SOURCES")
    set(where "rle565_add_sprites(${target})")
    if(ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "${where}: unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT ARG_SOURCES)
        message(FATAL_ERROR "${where}: no SOURCES")
    endif()
    if(NOT CMAKE_C_COMPILER_LOADED)
        message(FATAL_ERROR "${where}: the sprites are C sources; enable the language C")
    endif()
    if(DEFINED ARG_NAMESPACE AND NOT ARG_NAMESPACE MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
        message(FATAL_ERROR "${where}: NAMESPACE ${ARG_NAMESPACE} is not the start of a C name")
    endif()
    if(DEFINED ARG_SECTION AND NOT ARG_SECTION MATCHES "^[A-Za-z0-9._$]+$")
        message(FATAL_ERROR "${where}: SECTION ${ARG_SECTION}: letters, digits, . _ and $ only")
    endif()
    if(DEFINED ARG_COLORS AND NOT (ARG_COLORS MATCHES "^[0-9]+$" AND ARG_COLORS GREATER_EQUAL 1
                                    AND ARG_COLORS LESS_EQUAL 252))
        message(FATAL_ERROR "${where}: COLORS ${ARG_COLORS} is not 1 to 252")
    endif()
    if(ARG_DITHER AND NOT DEFINED ARG_COLORS)
        message(FATAL_ERROR "${where}: DITHER needs COLORS")
    endif()

    _rle565_sprite_converter(tool)
    # The one place that says how an image becomes an RLE file.
    set(options)
    if(tool_KIND STREQUAL "pack")
        # rle565-pack falls back to several palettes by itself.
        if(DEFINED ARG_COLORS)
            list(APPEND options --colors ${ARG_COLORS})
        endif()
        if(ARG_DITHER)
            list(APPEND options --dither)
        endif()
    else()
        if(DEFINED ARG_COLORS)
            message(FATAL_ERROR "${where}: COLORS and DITHER need rle565-pack; set RLE565_PACK "
                "to one, or find a package that has rle565::pack")
        endif()
        if(ARG_MULTIPAL)
            list(APPEND options -v2)
        endif()
    endif()

    # Every image with the folder its name is counted from.
    set(images)
    foreach(source ${ARG_SOURCES})
        get_filename_component(path ${source} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
        # An image that this folder's own custom commands make is taken too.
        get_source_file_property(path_generated ${path} GENERATED)
        if(IS_DIRECTORY ${path})
            # Extensions in any case, once each on any file system.
            file(GLOB_RECURSE found CONFIGURE_DEPENDS RELATIVE ${path} ${path}/*)
            list(FILTER found INCLUDE REGEX "\\.([pP][nN][gG]|[bB][mM][pP]|[rR][lL][eE])$")
            list(SORT found)
            if(NOT found)
                message(FATAL_ERROR "${where}: no .png, .bmp or .rle file in ${source}")
            endif()
            foreach(relative ${found})
                list(APPEND images "${path}|${relative}")
            endforeach()
        elseif(EXISTS ${path} OR path_generated)
            get_filename_component(folder ${path} DIRECTORY)
            get_filename_component(relative ${path} NAME)
            list(APPEND images "${folder}|${relative}")
        else()
            message(FATAL_ERROR "${where}: ${source} does not exist")
        endif()
    endforeach()

    set(work ${CMAKE_CURRENT_BINARY_DIR}/${target}-sprites)
    set(header ${work}/include/${target}.h)
    set(embed ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/rle565_embed.cmake)
    file(MAKE_DIRECTORY ${work}/include)
    set(c_files)
    set(parts)
    foreach(image ${images})
        string(REPLACE "|" ";" image "${image}")
        list(GET image 0 folder)
        list(GET image 1 relative)
        set(input ${folder}/${relative})
        _rle565_sprite_name(name "${relative}" "${ARG_NAMESPACE}")
        if(DEFINED owner_${name})
            message(FATAL_ERROR "${where}: ${owner_${name}} and ${input} both make the sprite ${name}")
        endif()
        set(owner_${name} ${input})
        file(RELATIVE_PATH shown ${CMAKE_SOURCE_DIR} ${input})
        if(shown MATCHES "^\\.\\./")
            set(shown ${input})
        endif()

        set(byproducts)
        if(input MATCHES "\\.[rR][lL][eE]$")
            set(rle ${input})
            set(convert)
        elseif(tool_KIND STREQUAL "pack")
            # A file named on its own goes into -o's folder as NAME.rle.
            get_filename_component(stem ${relative} NAME)
            string(REGEX REPLACE "\\.[^.]*$" "" stem "${stem}")
            set(rle ${work}/${name}/${stem}.rle)
            set(convert COMMAND ${tool_COMMAND} -j 1 ${options} -o ${work}/${name} ${input})
            set(byproducts BYPRODUCTS ${rle})
        else()
            set(rle ${work}/${name}.rle)
            set(convert COMMAND ${tool_COMMAND} r ${options} ${input} ${rle})
            set(byproducts BYPRODUCTS ${rle})
        endif()
        set(c_file ${work}/${name}.c)
        set(part ${work}/${name}.part.h)
        set(defines -DRLE=${rle} -DNAME=${name} -DSHOWN=${shown} -DC_FILE=${c_file}
            -DPART=${part})
        if(DEFINED ARG_SECTION)
            list(APPEND defines -DSECTION=${ARG_SECTION})
        endif()
        add_custom_command(OUTPUT ${c_file} ${part}
            ${convert}
            COMMAND ${CMAKE_COMMAND} ${defines} -P ${embed}
            DEPENDS ${input} ${tool_DEPENDS} ${embed}
            ${byproducts}
            COMMENT "Sprite ${shown}"
            VERBATIM)
        list(APPEND c_files ${c_file})
        list(APPEND parts ${part})
    endforeach()

    # The header: every sprite's declarations, in the order of SOURCES;
    # written only when they change, so that a sprite whose size stayed
    # rebuilds nothing that includes it.
    list(JOIN parts "\n" part_lines)
    file(CONFIGURE OUTPUT ${work}/parts.txt CONTENT "${part_lines}\n" @ONLY)
    string(MAKE_C_IDENTIFIER "${target}" guard)
    string(TOUPPER "RLE565_SPRITES_${guard}_H" guard)
    add_custom_command(OUTPUT ${header}
        COMMAND ${CMAKE_COMMAND} -DHEADER=${header} -DPARTS=${work}/parts.txt -DGUARD=${guard}
            -DTARGET=${target} -P ${embed}
        DEPENDS ${parts} ${work}/parts.txt ${embed}
        COMMENT "Writing the sprites' header ${target}.h"
        VERBATIM)

    add_library(${target} STATIC ${c_files} ${header})
    set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
    target_include_directories(${target} PUBLIC ${work}/include)
    if(TARGET rle565_host_tools)
        add_dependencies(${target} rle565_host_tools)
    endif()
endfunction()
