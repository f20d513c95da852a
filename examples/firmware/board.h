/* What the firmware needs from its board: a line of text to the host and
 * the end of the run. startup.c gives both through semihosting under qemu;
 * host_board.c gives them on a desktop, where the same program then prints
 * the same lines. */
#ifndef RLE565_BOARD_H
#define RLE565_BOARD_H

#include <stdint.h>

/* Writes a NUL-terminated text as it is. */
void board_print(const char* text);

/* Writes "name xxxxxxxx\n", the value in eight hexadecimal digits. */
void board_print_hex(const char* name, uint32_t value);

#endif /* RLE565_BOARD_H */
