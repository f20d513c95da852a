// Colour reduction for images with more (colour, alpha) pairs than the
// sprite is to hold.
#pragma once

#include <rle565/image.h>

namespace rle565 {

struct ReduceReport {
    bool reduced = false;
    double psnr = 0;
};

// Reduces a plain image in place to at most maxPairs visible (colour, alpha)
// pairs, with error diffusion when dither is set. False only for bad
// arguments.
bool reduceColours(Image& image, int maxPairs, bool dither, ReduceReport* report);

}  // namespace rle565
