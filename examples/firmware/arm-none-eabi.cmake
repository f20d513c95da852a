# Toolchain file for GCC's arm-none-eabi compilers (Debian: gcc-arm-none-eabi),
# for the Cortex-M3 board that qemu models as mps2-an385. For a Cortex-M0+,
# give -DRLE565_CPU=cortex-m0plus; its code runs on the M3 board as well.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
# No operating system to link a test program for: try static libraries.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(RLE565_CPU cortex-m3 CACHE STRING "The Cortex-M core to build for")
# The board traps unaligned accesses, as a Cortex-M0+ always does; the M3
# build makes none of its own either.
set(CMAKE_C_FLAGS_INIT "-mcpu=${RLE565_CPU} -mthumb -mno-unaligned-access -ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-mcpu=${RLE565_CPU} -mthumb -nostdlib -Wl,--gc-sections")

# Programs come from the build machine; libraries and headers from the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
