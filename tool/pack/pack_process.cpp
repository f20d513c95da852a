#include "pack_process.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

namespace rle565 {

namespace {

// One slot per worker: the name of its named temporary file under way,
// complete whenever its flag is set. Names longer than a slot are not kept
// (such paths do not open anyway).
constexpr std::size_t NAME_SIZE = 4096;
char temporaryNames[MAX_WORKERS][NAME_SIZE];
volatile std::sig_atomic_t bNamed[MAX_WORKERS];

thread_local std::size_t workerSlot = 0;

void noteTemporaryName(const char* path) {
    const std::size_t slot = workerSlot;
    bNamed[slot] = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (!path) return;
    const std::size_t length = std::strlen(path);
    if (length >= NAME_SIZE) return;
    std::memcpy(temporaryNames[slot], path, length + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    bNamed[slot] = 1;
}

extern "C" void removeTemporariesAndStop(int signal) {
    for (std::size_t slot = 0; slot < MAX_WORKERS; ++slot) {
        if (bNamed[slot]) ::unlink(temporaryNames[slot]);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

void becomeWorker(std::size_t index) { workerSlot = index < MAX_WORKERS ? index : 0; }

OutputTarget packTarget(const char* path) {
    OutputTarget target(path);
    target.observer = noteTemporaryName;
    return target;
}

void preparePackProcess() {
    std::signal(SIGXFSZ, SIG_IGN);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction action {};
        // A signal ignored when the program started stays ignored.
        if (::sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
        action = {};
        action.sa_handler = removeTemporariesAndStop;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

}  // namespace rle565
