/* The board on a desktop: the firmware's lines go to standard output. */
#include <stdio.h>

#include "board.h"

void board_print(const char* text) { fputs(text, stdout); }
