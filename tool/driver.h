// The command-line driver: the three modes, every message and the exit status.
#pragma once

#include <cstdio>

namespace rle565 {

// Runs the program on its command line, printing every message on `out`, and
// returns the exit status.
int runDriver(int argc, char** argv, std::FILE* out);

// Sets up the process for runDriver: a file-size limit becomes a failed
// write instead of the end of the process, and SIGTERM, SIGINT and SIGHUP
// remove a named temporary file before they end it. For main() only.
void prepareProcess();

}  // namespace rle565
