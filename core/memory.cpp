#include "memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace rle565 {

namespace {

// Blocks from this size up are prepared before their first use: a 4096 x 4096
// image then takes a few dozen page faults instead of twelve thousand.
constexpr std::size_t PREPARE_MIN = 64 * 1024;

}  // namespace

void prepareBlock(const void* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
    if (size < PREPARE_MIN) return;
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) return;
    // madvise takes whole pages: every page the block touches. Neither
    // request changes any contents, so the neighbours sharing its first and
    // last page lose nothing, and the allocator's header page in front of a
    // large block lets the first large page cover the block's start.
    const auto page = static_cast<std::uintptr_t>(pageSize);
    const auto first = reinterpret_cast<std::uintptr_t>(data);
    void* const start = reinterpret_cast<void*>(first / page * page);
    const std::uintptr_t length = (first + size + page - 1) / page * page - first / page * page;
    // Only hints: where one is refused, the pages come one fault at a time.
    ::madvise(start, length, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
    ::madvise(start, length, MADV_POPULATE_WRITE);
#endif
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace rle565
