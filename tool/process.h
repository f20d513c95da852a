// What the program sets up for the whole process: the signals, and the
// output targets whose named temporary files the signal handlers remove.
#pragma once

#include <rle565/output_target.h>

namespace rle565 {

// An output target of the program: a named temporary file it gets is
// removed when SIGTERM, SIGINT or SIGHUP ends the process.
OutputTarget outputTarget(const char* path, int mode = -1);

// Sets up the process for runDriver: a file-size limit becomes a failed
// write instead of the end of the process, and SIGTERM, SIGINT and SIGHUP
// remove a named temporary file before they end it. For main() only.
void prepareProcess();

// The process's umask, read by setting it and setting it back (there is no
// call that only reads it); single-threaded, so nobody sees the moment.
int currentUmask();

}  // namespace rle565
