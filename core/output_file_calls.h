// The system calls of output files whose failures tests provoke. Only a build
// with RLE565_FAULT_INJECTION has this table: there the output file makes
// these calls through it, and a test puts its own functions in. Every other
// build calls the system directly and has nothing to change.
#pragma once

#ifdef RLE565_FAULT_INJECTION

#include <sys/types.h>

#include <cstddef>

namespace rle565::detail {

struct OutputFileCalls {
    int (*close)(int fd);
    int (*fdatasync)(int fd);
    int (*fsync)(int fd);
    int (*fchown)(int fd, uid_t owner, gid_t group);
    ssize_t (*listxattr)(const char* path, char* list, std::size_t size);
    ssize_t (*flistxattr)(int fd, char* list, std::size_t size);
};

// Holds the system's own calls until a test replaces them.
extern OutputFileCalls outputFileCalls;

}  // namespace rle565::detail

#endif
