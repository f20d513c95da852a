// Colour reduction for images with more (colour, alpha) pairs than the
// sprite is to hold.
#pragma once

#include <rle565/image.h>

namespace rle565 {

struct ReduceReport {
    bool reduced = false;  // the image had more pairs than asked and now has no more
    double psnr = 0;       // dB, reduced against before: the mean of over black and over white
};

// Reduces a plain image in place to at most maxPairs (1 to 252) visible
// (colour, alpha) pairs, with damped error diffusion when dither is set. The
// palette minimises the squared error of the decoded picture over black and
// over white: a variance-led cut refined by Lloyd's rounds, snapped to the
// nearest pairs of the format. Fully transparent pixels stay exactly so,
// visible ones stay visible, and a picture without alpha plane never gets
// the colour key. An image of no more pairs is left as it is.
// Deterministic. False only for bad arguments.
bool reduceColours(Image& image, int maxPairs, bool dither, ReduceReport* report);

}  // namespace rle565
