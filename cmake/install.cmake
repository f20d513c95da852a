# Installation: the three programs, the core library with its headers, a CMake
# package (find_package(rle565 CONFIG) gives rle565::core), a pkg-config file
# and the manual pages.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(RLE565_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/rle565)

# Installed, the public headers sit in include/rle565 and are included as
# <rle565/NAME.h>; the library's own headers are not installed.
target_include_directories(rle565_core PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(rle565_draw PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(rle565_core PROPERTIES EXPORT_NAME core)
set_target_properties(rle565_draw PROPERTIES EXPORT_NAME draw)
set_target_properties(rle565-info PROPERTIES EXPORT_NAME info)
set_target_properties(rle565-pack PROPERTIES EXPORT_NAME pack)

install(TARGETS rle565 rle565-info rle565-pack rle565_core rle565_draw
    EXPORT rle565Targets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/rle565 DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h")

install(EXPORT rle565Targets
    NAMESPACE rle565::
    FILE rle565Targets.cmake
    DESTINATION ${RLE565_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/rle565Config.cmake.in
    ${PROJECT_BINARY_DIR}/rle565Config.cmake
    INSTALL_DESTINATION ${RLE565_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/rle565ConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/rle565Config.cmake ${PROJECT_BINARY_DIR}/rle565ConfigVersion.cmake
    DESTINATION ${RLE565_CMAKE_DIR})

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
