#include "check.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace rle565 {

namespace {

// A tracer shows up as a non-zero TracerPid in /proc/self/status. Without one,
// a trap would only kill the process with a signal instead of a clean status.
bool debuggerAttached() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return false;
    char line[256];
    bool attached = false;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, "TracerPid:", 10) == 0) {
            attached = std::atoi(line + 10) != 0;
            break;
        }
    }
    std::fclose(status);
    return attached;
}

}  // namespace

void checkFailed(const char* file, int line, const char* text) {
    std::printf("error: %s:%d %s\n", file, line, text);
    std::fflush(stdout);
    if (debuggerAttached()) std::raise(SIGTRAP);
    std::exit(1);
}

}  // namespace rle565
