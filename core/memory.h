// Preparing large buffers before their first use.
#pragma once

#include <cstddef>

namespace rle565 {

// Prepares a block of memory that is about to be written for the first time:
// asks for large pages and maps all its pages at once, instead of one page
// fault per 4 KiB. Only a hint, and only for blocks of 64 KiB and more.
void prepareBlock(const void* data, std::size_t size);

}  // namespace rle565
