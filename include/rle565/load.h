// Loading image files: BMP, PNG and RLE files, told apart by their first
// bytes, from a file by name, an open stream or bytes in memory.
#pragma once

#include <rle565/image.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

namespace rle565 {

// Opens the file by name and loads it; nullptr with the reason in errorText
// on failure. On success errorText is left as it was. Files that are not
// regular (pipes, FIFOs, devices) are read whole first, as far as an image file can use them.
std::unique_ptr<Image> loadImage(const char* path, ErrorText& errorText);

// The same, also setting *fileMode to the permission bits of the file read
// when it is a regular file, else to -1.
std::unique_ptr<Image> loadImage(const char* path, ErrorText& errorText, int* fileMode);

// The same from a stream positioned at the file's first byte. The stream stays
// open; loadImage takes this path for files too large to read whole.
std::unique_ptr<Image> loadImageFromStream(std::FILE* file, ErrorText& errorText);

// The same from a whole file held in memory. Never reads outside `bytes`.
std::unique_ptr<Image> loadImageFromMemory(std::span<const std::uint8_t> bytes,
                                           ErrorText& errorText);

}  // namespace rle565
