// The command-line driver: the three modes, every message and the exit status.
#pragma once

#include <cstdio>

namespace rle565 {

// Runs the program on its command line, printing every message on `out`, and
// returns the exit status.
int runDriver(int argc, char** argv, std::FILE* out);

}  // namespace rle565
