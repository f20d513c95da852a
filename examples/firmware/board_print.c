/* The board's number printer, shared by the firmware and its host build. */
#include <stddef.h>

#include "board.h"

void board_print_hex(const char* name, uint32_t value) {
    char line[80];
    size_t n = 0;
    while (*name && n < sizeof line - 11) line[n++] = *name++;
    line[n++] = ' ';
    for (int shift = 28; shift >= 0; shift -= 4)
        line[n++] = "0123456789abcdef"[(value >> shift) & 15];
    line[n++] = '\n';
    line[n] = 0;
    board_print(line);
}
