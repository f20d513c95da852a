// rle565-pack: from an artist's files to sprite files, in one command.
#pragma once

#include <cstdio>

namespace rle565 {

// Runs the program on its command line: results and the summary on `out`,
// errors and the progress line on `err`. Returns the exit status: 0 when
// every file converted, 1 when any failed, 2 for a command-line error.
int runPack(int argc, char** argv, std::FILE* out, std::FILE* err);

}  // namespace rle565
