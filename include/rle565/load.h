// Loading image files: BMP, PNG, GIF and RLE files, told apart by their
// first bytes, from a file by name, an open stream or bytes in memory; and
// every frame of an animation.
#pragma once

#include <rle565/image.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>

namespace rle565 {

// Opens the file by name and loads it; nullptr with the reason in errorText
// on failure. On success errorText is left as it was. Files that are not
// regular (pipes, FIFOs, devices) are parsed as their bytes arrive (an RLE
// file is kept whole, as far as one goes).
std::unique_ptr<Image> loadImage(const char* path, ErrorText& errorText);

// The same, also setting *fileMode to the permission bits of the file read
// when it is a regular file, else to -1.
std::unique_ptr<Image> loadImage(const char* path, ErrorText& errorText, int* fileMode);

// The same for a caller that converts plain images: a regular RLE file is
// not loaded but checked as loadImage() checks it, reading only its header,
// tables and lines' codes a window at a time, whatever its size. When it
// would load, the result is an image in RLE form that holds the header's
// fields and no data block; when not, nullptr with loadImage()'s reason.
std::unique_ptr<Image> loadImageToConvert(const char* path, ErrorText& errorText, int* fileMode);

// The same from a stream positioned at the file's first byte. The stream stays
// open; loadImage takes this path for files too large to read whole.
std::unique_ptr<Image> loadImageFromStream(std::FILE* file, ErrorText& errorText);

// The same from a whole file held in memory. Never reads outside `bytes`.
std::unique_ptr<Image> loadImageFromMemory(std::span<const std::uint8_t> bytes,
                                           ErrorText& errorText);

// Every frame of a whole file held in memory, in order, each handed to
// onFrame, which may change it: the frames of a GIF animation, each composed
// on the canvas as the file's disposal methods say; the one image of any
// other file (an RLE file in RLE form). Of a single image, loadImage gives
// the same (for GIF files the first frame). False with the reason in
// errorText when the file, or one of its frames, cannot be read; frames
// handed over before that stand.
bool loadImageFrames(std::span<const std::uint8_t> bytes, ErrorText& errorText,
                     const std::function<void(Image&)>& onFrame);

// How many frames loadImageFrames() hands over for a sound file, found
// without decoding them: 1 for any file that is not a GIF animation.
std::size_t countImageFrames(std::span<const std::uint8_t> bytes);

}  // namespace rle565
