// What rle565-pack sets up for the whole process: the signals, and the
// named temporary files of its workers, which the signal handlers remove.
#pragma once

#include <rle565/output_target.h>

#include <cstddef>

namespace rle565 {

// The most workers whose temporary files the handlers keep track of.
inline constexpr std::size_t MAX_WORKERS = 256;

// Makes the calling thread worker `index` (below MAX_WORKERS): its outputs'
// named temporary files are kept in a slot of their own.
void becomeWorker(std::size_t index);

// An output of the program: a named temporary file it gets is removed when
// SIGTERM, SIGINT or SIGHUP ends the process.
OutputTarget packTarget(const char* path);

// Ignores SIGXFSZ (a file-size limit is a failed write) and has SIGTERM,
// SIGINT and SIGHUP remove the named temporary files before they end the
// process. For main() only.
void preparePackProcess();

}  // namespace rle565
