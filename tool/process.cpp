// The process-wide side of the program: signals, and the name of the one
// named temporary file under way, which the signal handlers remove.
#include "process.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

namespace rle565 {

namespace {

// The one named temporary file under way, for the signal handlers: the name
// is complete whenever bTemporaryNamed is set. Names longer than the buffer
// are not kept (such paths do not open anyway).
char temporaryName[8192];
volatile std::sig_atomic_t bTemporaryNamed = 0;

void noteTemporaryName(const char* path) {
    bTemporaryNamed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (!path) return;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof temporaryName) return;
    std::memcpy(temporaryName, path, length + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    bTemporaryNamed = 1;
}

// Removes the named temporary file, then lets the signal end the process
// as it would have: its default action, raised again once the handler returns.
extern "C" void removeTemporaryAndStop(int signal) {
    if (bTemporaryNamed) ::unlink(temporaryName);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

// Every output of the program: its named temporary file, if it gets one, is
// kept above for the signal handlers.
OutputTarget outputTarget(const char* path, int mode) {
    OutputTarget target(path, mode);
    target.observer = noteTemporaryName;
    return target;
}

void prepareProcess() {
    // Past the file-size limit a write then fails like any other, which the
    // output file reports, instead of ending the process with its temporary
    // file and the rest of a list.
    std::signal(SIGXFSZ, SIG_IGN);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction action {};
        // A signal ignored when the program started (nohup, a background
        // job) stays ignored.
        if (::sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
        action = {};
        action.sa_handler = removeTemporaryAndStop;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

int currentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<int>(mask);
}

}  // namespace rle565
