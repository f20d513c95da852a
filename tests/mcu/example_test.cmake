# Builds examples/firmware from a clean folder the way its README says, runs
# it on the board under qemu and compares its lines with EXPECTED; the link
# line of the firmware must name no host library (libspng, GoogleTest, the
# converter's C++ library, the C++ standard library).
#   cmake -DSOURCE_DIR=... -DWORK=... -DGENERATOR=... -DQEMU=... -DEXPECTED=...
#         [-DINSTALL_FROM=build-dir] [-DEXTRA=-Dx=y;...] -P example_test.cmake
# With INSTALL_FROM, that build is installed into WORK/prefix first and the
# example takes rle565 from there (-DRLE565_FROM_PACKAGE=ON).
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

function(run what)
    execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${SOURCE_DIR}
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${what} failed (${status}):\n${out}")
    endif()
    set(out "${out}" PARENT_SCOPE)
endfunction()

set(options ${EXTRA})
if(DEFINED INSTALL_FROM)
    run("installing" ${CMAKE_COMMAND} --install ${INSTALL_FROM} --prefix ${WORK}/prefix)
    list(APPEND options -DRLE565_FROM_PACKAGE=ON -DCMAKE_PREFIX_PATH=${WORK}/prefix)
endif()

# The README's commands, run from the top of the source tree (a relative
# toolchain file is looked for in the build folder, then in the source one).
run("configuring" ${CMAKE_COMMAND} -S examples/firmware -B ${WORK}/build -G ${GENERATOR}
    --toolchain arm-none-eabi.cmake ${options})
run("building" ${CMAKE_COMMAND} --build ${WORK}/build --verbose)
set(build_log "${out}")

# The link of firmware.elf: the one command that writes it.
string(REPLACE "\n" ";" lines "${build_log}")
set(link)
foreach(line ${lines})
    if(line MATCHES "-o [^ ]*firmware\\.elf" AND NOT line MATCHES " -c ")
        set(link "${line}")
    endif()
endforeach()
if(NOT link)
    message(FATAL_ERROR "no link of firmware.elf in the build's output:\n${build_log}")
endif()
if(link MATCHES "rle565_core|spng|gtest|stdc\\+\\+|arm-none-eabi-g\\+\\+")
    message(FATAL_ERROR "the firmware links a host or C++ library:\n${link}")
endif()
if(NOT link MATCHES "librle565_draw\\.a")
    message(FATAL_ERROR "the firmware does not link the runtime:\n${link}")
endif()

# A second build has nothing to do (the steps are named without --verbose).
run("building again" ${CMAKE_COMMAND} --build ${WORK}/build)
if(out MATCHES "Sprite |Building|Linking")
    message(FATAL_ERROR "a build without changes did work:\n${out}")
endif()

run("running on the board" ${QEMU} -M mps2-an385 -display none -monitor none -serial none
    -chardev stdio,id=out -semihosting-config enable=on,target=native,chardev=out
    -kernel ${WORK}/build/firmware.elf)
file(READ ${EXPECTED} expected)
if(NOT out STREQUAL expected)
    message(FATAL_ERROR "the board printed\n${out}instead of\n${expected}")
endif()
message("the board printed the expected lines")
file(REMOVE_RECURSE ${WORK})
