// The GIF reader: the first frame for loading, every frame composed as the
// file's disposal methods say for animations; giflib does the decoding.
#pragma once

#include <rle565/image.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>

namespace rle565 {

// The six bytes GIF files start with; the last three name the version.
inline constexpr std::size_t GIF_SIGNATURE_SIZE = 6;

// Whether the bytes start with "GIF87a" or "GIF89a".
bool isGif(std::span<const std::uint8_t> bytes);

// The first frame of a GIF file as a plain image: RGB565 pixels, top line
// first, on the canvas the file's screen names (grown to hold the first
// frame where the screen is smaller). Pixels of the transparent index and
// pixels no frame covers get alpha 0 in an alpha plane of 0 and 32, which
// an image has whenever it holds such a pixel or a visible pixel of the
// colour key. nullptr with "GIF read error: ..." or "image too large".
std::unique_ptr<Image> readGifBytes(std::span<const std::uint8_t> bytes, ErrorText& errorText);

// The same from a stream whose first bytes, `head`, were read already.
// Reads forward and never closes the file.
std::unique_ptr<Image> readGif(std::FILE* file, std::span<const std::uint8_t> head,
                               ErrorText& errorText);

// Every frame in order, each composed on the canvas: a frame is drawn over
// what the frames before it left, its transparent pixels leaving the canvas
// as it was; then its disposal method clears its rectangle (restore to
// background: transparent) or puts back the canvas from before it (restore
// to previous). onFrame gets each composed frame and may change it. False,
// with the reason in errorText, when a frame cannot be read; the frames
// handed over stand. A file that ends after a whole frame without its
// closing byte keeps the frames it has.
bool readGifFrames(std::span<const std::uint8_t> bytes, ErrorText& errorText,
                   const std::function<void(Image&)>& onFrame);

// The number of frames of a GIF file, found without decoding them; 0 when
// the file cannot be read that far.
std::size_t countGifFrames(std::span<const std::uint8_t> bytes);

}  // namespace rle565
