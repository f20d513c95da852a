# Installation: the programs (rle565, rle565-info, rle565-pack), the core library with its headers, a CMake
# package (find_package(rle565 CONFIG) gives rle565::core and
# rle565_add_sprites()), a pkg-config file, the drawing runtime's sources,
# the manual pages and the licence.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(RLE565_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/rle565)
set(RLE565_RUNTIME_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/rle565/runtime)

# Installed, the public headers sit in include/rle565 and are included as
# <rle565/NAME.h>; the library's own headers are not installed.
target_include_directories(rle565_core PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(rle565_draw PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(rle565_core PROPERTIES EXPORT_NAME core)
set_target_properties(rle565_draw PROPERTIES EXPORT_NAME draw)
set_target_properties(rle565-info PROPERTIES EXPORT_NAME info)
set_target_properties(rle565-pack PROPERTIES EXPORT_NAME pack)

# Two export sets: the libraries, which only a build for this machine's kind
# can link, and the programs, which any build can run here, a cross build of
# firmware included (rle565_add_sprites() converts with them).
install(TARGETS rle565_core rle565_draw
    EXPORT rle565Targets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
set(RLE565_PROGRAMS rle565 rle565-info)
if(TARGET rle565-pack)
    list(APPEND RLE565_PROGRAMS rle565-pack)
endif()
install(TARGETS ${RLE565_PROGRAMS}
    EXPORT rle565Programs
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/rle565 DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h")

install(EXPORT rle565Targets
    NAMESPACE rle565::
    FILE rle565Targets.cmake
    DESTINATION ${RLE565_CMAKE_DIR})
install(EXPORT rle565Programs
    NAMESPACE rle565::
    FILE rle565Programs.cmake
    DESTINATION ${RLE565_CMAKE_DIR})

# The libraries' pointer size, which the package compares with the finding
# build's before it offers them.
set(RLE565_SIZEOF_VOID_P ${CMAKE_SIZEOF_VOID_P})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/rle565Config.cmake.in
    ${PROJECT_BINARY_DIR}/rle565Config.cmake
    INSTALL_DESTINATION ${RLE565_CMAKE_DIR}
    PATH_VARS RLE565_RUNTIME_INSTALL_DIR)
# Any build may find the package, whatever its pointer size: a firmware build
# for a 32-bit part takes the programs and the function (rle565Config.cmake).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/rle565ConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion
    ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/rle565Config.cmake ${PROJECT_BINARY_DIR}/rle565ConfigVersion.cmake
    ${PROJECT_SOURCE_DIR}/cmake/rle565_sprites.cmake ${PROJECT_SOURCE_DIR}/cmake/rle565_embed.cmake
    DESTINATION ${RLE565_CMAKE_DIR})

# The drawing runtime as sources, for firmware built with any toolchain:
# add_subdirectory(PREFIX/share/rle565/runtime) gives rle565::draw. The
# public headers it includes go beside it, so that the folder is whole.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/runtime/ DESTINATION ${RLE565_RUNTIME_INSTALL_DIR}
    FILES_MATCHING PATTERN "*.h" PATTERN "*.cpp" PATTERN "CMakeLists.txt")
file(GLOB runtime_files ${PROJECT_SOURCE_DIR}/runtime/*.h ${PROJECT_SOURCE_DIR}/runtime/*.cpp)
set(runtime_headers)
foreach(file ${runtime_files})
    file(STRINGS ${file} includes REGEX "^#include <rle565/[a-z_]+\\.h>")
    foreach(line ${includes})
        string(REGEX REPLACE "^#include <(rle565/[a-z_]+\\.h)>.*" "${PROJECT_SOURCE_DIR}/include/\\1"
            header "${line}")
        list(APPEND runtime_headers ${header})
    endforeach()
endforeach()
list(REMOVE_DUPLICATES runtime_headers)
install(FILES ${runtime_headers} DESTINATION ${RLE565_RUNTIME_INSTALL_DIR}/include/rle565)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${RLE565_RUNTIME_INSTALL_DIR})

# The licence (MIT), named by the package and the .pc file.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The .pc file finds the prefix from its own place, so it stays right when
# `cmake --install --prefix` installs somewhere other than CMAKE_INSTALL_PREFIX.
file(RELATIVE_PATH RLE565_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
string(REGEX REPLACE "/$" "" RLE565_PC_UP "${RLE565_PC_UP}")
set(RLE565_PC_PREFIX "\${pcfiledir}/${RLE565_PC_UP}")
foreach(dir LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
        set(RLE565_PC_${dir} "${CMAKE_INSTALL_${dir}}")
    else()
        set(RLE565_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/rle565.pc.in ${PROJECT_BINARY_DIR}/rle565.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/rle565.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/man/rle565.1 ${PROJECT_SOURCE_DIR}/man/rle565-info.1
    ${PROJECT_SOURCE_DIR}/man/rle565-pack.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The consumer check installs this build into a temporary prefix, builds
# examples/consumer against it and runs it; `ctest -L package` runs it alone.
if(RLE565_TESTS)
    add_test(NAME consumer_check
        COMMAND ${PROJECT_SOURCE_DIR}/examples/consumer/check.sh ${PROJECT_BINARY_DIR})
    set_tests_properties(consumer_check PROPERTIES LABELS package TIMEOUT 600)
endif()
