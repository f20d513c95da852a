// Reading a file whole, as far as an image file can use it: the loader's way
// with files that cannot tell their size, and the inspector's with every file.
#pragma once

#include <rle565/inspect.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace rle565 {

// Reads the file open as `fd` whole, from where it stands: as far as an image
// file can use it. A regular file is read by its size; anything else (a pipe,
// a FIFO, a device) as its bytes arrive, in memory that grows with them, so a
// header that claims more than arrives costs nothing. Of a file whose first
// two bytes are not those of an image ("BM", "RL", or 0x89 "P" of PNG) only
// those two are read. Read errors end the bytes; an allocation failure throws
// std::bad_alloc.
FileBytes readImageBytes(int fd);

}  // namespace rle565
