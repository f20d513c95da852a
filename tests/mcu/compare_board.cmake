# Runs a firmware program on the desktop (HOST) and on the Cortex-M3 board
# under qemu (QEMU, ELF); passes when both end with status 0 and print the
# same lines, and these are the lines in EXPECTED.
# cmake -DHOST=... -DQEMU=... -DELF=... -DEXPECTED=... -P compare_board.cmake
execute_process(COMMAND ${HOST}
    OUTPUT_VARIABLE host_out ERROR_VARIABLE host_err RESULT_VARIABLE host_status
    TIMEOUT 60)
# The board's semihosting output goes to qemu's standard output (without the
# chardev it would go to standard error, mixed with qemu's own messages); the
# board has no display, no serial port and no monitor here.
execute_process(COMMAND ${QEMU} -M mps2-an385 -cpu cortex-m3 -display none -monitor none
        -serial none -chardev stdio,id=out -semihosting-config enable=on,target=native,chardev=out
        -kernel ${ELF}
    INPUT_FILE /dev/null
    OUTPUT_VARIABLE board_out ERROR_VARIABLE board_err RESULT_VARIABLE board_status
    TIMEOUT 60)
message("board:\n${board_out}${board_err}")
if(NOT host_status EQUAL 0)
    message(FATAL_ERROR "the host build failed (${host_status}):\n${host_out}${host_err}")
endif()
if(NOT board_status EQUAL 0)
    message(FATAL_ERROR "the board run failed (${board_status})")
endif()
if(host_out STREQUAL "")
    message(FATAL_ERROR "the host build printed nothing")
endif()
if(NOT host_out STREQUAL board_out)
    message(FATAL_ERROR "the board's lines differ from the host's:\n${host_out}")
endif()
message("the board's lines equal the host's")
# When the expected lines were recorded, a plain pixel-by-pixel drawing,
# independent of the runtime, gave the same ones.
file(READ ${EXPECTED} expected)
if(NOT host_out STREQUAL expected)
    message(FATAL_ERROR "the lines differ from ${EXPECTED}:\n${host_out}")
endif()
message("and the expected ones")
