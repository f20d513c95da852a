// The drawing runtime against SDL2's RLE-accelerated blits: the same sprites
// drawn at the same places of a 640x480 RGB565 frame by rle565_draw and by
// SDL_BlitSurface with SDL_RLEACCEL, the frames compared pixel by pixel and
// the times printed side by side.
//
//   rle565_draw_sdl [rounds]
//
// Sprites, made here and converted with the library's encoder:
// - keyed: 64x64 without alpha, transparent pixels on the colour key 0xF81F.
//   SDL: an RGB565 surface with the colour key 0xF81F and RLE acceleration.
// - alpha: 128x128 with per-pixel alpha, an opaque body, a translucent pane
//   and a soft edge. SDL: an ARGB8888 surface with blending and RLE
//   acceleration, blended onto the RGB565 frame.
//
// SDL's source pixels are the runtime's own drawing of the sprite onto a
// target with an alpha array, so both draw the same colours. An alpha a of
// 0..32 becomes 8 * a in SDL's 8-bit alpha (255 for 32): SDL's RLE blend onto
// RGB565 keeps the top five bits of the alpha and mixes each channel as
// d + (s - d) * a / 32 rounding down, which is the runtime's blend exactly.
// (Widening as the BMP writer does, a * 255 / 32, would not be: 16 gives 127,
// whose top five bits are 15.)
//
// Places: pseudo-random, fixed seed; "inside" wholly in the frame, "partly
// off" crossing at least one edge without being wholly outside. Each timed
// round draws every place once, on each side in turn, timed in thread CPU
// time; the medians of the rounds are shown, with the cost per drawn pixel. Exit status 1 when a
// frame differs from SDL's or a target is missed: colour key at most 2.0x SDL's time, alpha at
// most 1.0x, clipped draws no dearer per drawn pixel than unclipped ones.
#include <SDL.h>
#include <rle565/draw.h>
#include <rle565/encode_single.h>
#include <rle565/image.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

using namespace rle565;

namespace {

constexpr std::int32_t FRAME_WIDTH = 640;
constexpr std::int32_t FRAME_HEIGHT = 480;
constexpr std::size_t PLACES = 2000;

// Numbers that are the same with every standard library: mt19937's sequence
// is fixed, the distribution is done here.
class Random {
public:
    explicit Random(std::uint32_t seed) : engine_(seed) {}
    std::int32_t below(std::int32_t n) {
        return static_cast<std::int32_t>(
            (std::uint64_t{engine_()} * static_cast<std::uint32_t>(n)) >> 32);
    }

private:
    std::mt19937 engine_;
};

Image makeKeyed() {
    constexpr std::int32_t SIZE = 64;
    constexpr std::uint16_t SHADES[] = {0x8200, 0xA280, 0xC300, 0xE3A0, 0xFC60, 0xFD20,
                                        0x4208, 0x0000, 0xFFFF, 0x39E7, 0x7BEF, 0x03E0};
    Random rng(3);
    Image image;
    image.width = SIZE;
    image.height = SIZE;
    image.pixels.assign(SIZE * SIZE, COLOR_KEY);
    for (std::int32_t y = 0; y < SIZE; ++y) {
        for (std::int32_t x = 0; x < SIZE; ++x) {
            // A body of two overlapping discs with a dark outline and some
            // dithered shading: about 40% transparent.
            const std::int32_t d1 = (x - 32) * (x - 32) + (y - 38) * (y - 38);
            const std::int32_t d2 = (x - 32) * (x - 32) + (y - 16) * (y - 16);
            if (d1 > 24 * 24 && d2 > 14 * 14) continue;
            std::uint16_t color = SHADES[(x / 8 + y / 16) % 6];
            if (d1 > 22 * 22 && d2 > 12 * 12)
                color = SHADES[7];
            else if (rng.below(8) == 0)
                color = SHADES[6 + rng.below(6)];
            image.pixels[static_cast<std::size_t>(y) * SIZE + x] = color;
        }
    }
    return image;
}

Image makeAlpha() {
    constexpr std::int32_t SIZE = 128;
    constexpr std::uint16_t BODY[] = {0x1A7F, 0x2B1F, 0x3BBF, 0x4C5F,
                                      0x5CFF, 0x6D9F, 0x7E3F, 0x8EDF};
    Image image;
    image.width = SIZE;
    image.height = SIZE;
    image.pixels.assign(SIZE * SIZE, COLOR_KEY);
    image.alpha.assign(SIZE * SIZE, 0);
    for (std::int32_t y = 0; y < SIZE; ++y) {
        for (std::int32_t x = 0; x < SIZE; ++x) {
            const std::int32_t dx = 2 * x - 127;
            const std::int32_t dy = 2 * y - 127;
            const std::int32_t d = static_cast<std::int32_t>(std::sqrt(double(dx * dx + dy * dy)));
            const std::size_t i = static_cast<std::size_t>(y) * SIZE + x;
            if (d >= 126) continue;
            if (d >= 102) {  // the soft edge: alpha falls from 31 to 1
                image.pixels[i] = 0x18E3;
                image.alpha[i] = static_cast<std::uint8_t>(1 + (125 - d) * 30 / 23);
            } else if (y > 40 && y < 64 && x > 30 && x < 98) {  // a translucent pane
                image.pixels[i] = 0xFFFF;
                image.alpha[i] = 12;
            } else {
                image.pixels[i] = BODY[(d / 13 + (x / 32)) % 8];
                image.alpha[i] = ALPHA_OPAQUE;
            }
        }
    }
    return image;
}

// The RLE file the encoder makes of an image, through a scratch file.
std::vector<std::uint8_t> encodeRle(const Image& image, const char* name) {
    std::error_code error;
    std::filesystem::path dir = "/dev/shm";
    if (!std::filesystem::is_directory(dir, error)) dir = std::filesystem::temp_directory_path();
    const std::string path =
        (dir / (std::string(name) + "." + std::to_string(::getpid()) + ".rle")).string();
    std::int32_t nColors = 0;
    if (convertToRle(image, path.c_str(), false, nColors) != EncodeResult::Written) {
        std::fprintf(stderr, "draw_sdl: cannot encode the %s sprite\n", name);
        std::exit(2);
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    std::filesystem::remove(path, error);
    return bytes;
}

struct Place {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// PLACES places for a w x h sprite, wholly inside the frame or partly off it.
std::vector<Place> makePlaces(std::int32_t w, std::int32_t h, bool bPartlyOff, std::uint32_t seed) {
    Random rng(seed);
    std::vector<Place> places;
    while (places.size() < PLACES) {
        Place p;
        if (!bPartlyOff) {
            p = {rng.below(FRAME_WIDTH - w + 1), rng.below(FRAME_HEIGHT - h + 1)};
        } else {
            p = {rng.below(FRAME_WIDTH + w - 1) - (w - 1),
                 rng.below(FRAME_HEIGHT + h - 1) - (h - 1)};
            const bool bInside =
                p.x >= 0 && p.y >= 0 && p.x + w <= FRAME_WIDTH && p.y + h <= FRAME_HEIGHT;
            if (bInside) continue;
        }
        places.push_back(p);
    }
    return places;
}

std::vector<std::uint16_t> makeBackground() {
    std::vector<std::uint16_t> frame(static_cast<std::size_t>(FRAME_WIDTH) * FRAME_HEIGHT);
    for (std::int32_t y = 0; y < FRAME_HEIGHT; ++y) {
        for (std::int32_t x = 0; x < FRAME_WIDTH; ++x) {
            frame[static_cast<std::size_t>(y) * FRAME_WIDTH + x] = static_cast<std::uint16_t>(
                ((x / 5) & 31) << 11 | ((x ^ y) & 63) << 5 | ((y / 3) & 31));
        }
    }
    return frame;
}

// One sprite on both sides: the runtime's view of the RLE bytes, SDL's RLE
// surface made from the same pixels, and how many pixels it covers.
class SpritePair {
public:
    SpritePair(const char* name, std::vector<std::uint8_t> rle)
        : name_(name), rle_(std::move(rle)) {
        if (rle565_sprite_open(&sprite_, rle_.data(), rle_.size()) != RLE565_OK) {
            std::fprintf(stderr, "draw_sdl: the %s sprite does not open\n", name);
            std::exit(2);
        }
        const std::int32_t w = sprite_.width;
        const std::int32_t h = sprite_.height;
        std::vector<std::uint16_t> colors(static_cast<std::size_t>(w) * h, COLOR_KEY);
        alphas_.assign(colors.size(), 0);
        const rle565_target target = {colors.data(), alphas_.data(), w, w, h, 0};
        rle565_draw(&sprite_, &target, 0, 0);
        bAlpha_ = sprite_.alphas != nullptr;
        if (!bAlpha_) {
            surface_ = SDL_CreateRGBSurfaceWithFormat(0, w, h, 16, SDL_PIXELFORMAT_RGB565);
            for (std::int32_t y = 0; y < h; ++y) {
                auto* row = reinterpret_cast<std::uint16_t*>(
                    static_cast<std::uint8_t*>(surface_->pixels) + y * surface_->pitch);
                for (std::int32_t x = 0; x < w; ++x) {
                    const std::size_t i = static_cast<std::size_t>(y) * w + x;
                    row[x] = alphas_[i] == 0 ? COLOR_KEY : colors[i];
                }
            }
            SDL_SetColorKey(surface_, SDL_TRUE, COLOR_KEY);
        } else {
            surface_ = SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888);
            for (std::int32_t y = 0; y < h; ++y) {
                auto* row = reinterpret_cast<std::uint32_t*>(
                    static_cast<std::uint8_t*>(surface_->pixels) + y * surface_->pitch);
                for (std::int32_t x = 0; x < w; ++x) {
                    const std::size_t i = static_cast<std::size_t>(y) * w + x;
                    const std::uint32_t c = colors[i];
                    const std::uint32_t a = alphas_[i] >= 32 ? 255 : alphas_[i] * 8u;
                    row[x] = a << 24 | (c >> 11) << 19 | ((c >> 5) & 63) << 10 | (c & 31) << 3;
                }
            }
            SDL_SetSurfaceBlendMode(surface_, SDL_BLENDMODE_BLEND);
        }
        SDL_SetSurfaceRLE(surface_, 1);
    }
    ~SpritePair() { SDL_FreeSurface(surface_); }
    SpritePair(const SpritePair&) = delete;
    SpritePair& operator=(const SpritePair&) = delete;

    const char* name() const { return name_; }
    const rle565_sprite& sprite() const { return sprite_; }
    SDL_Surface* surface() const { return surface_; }

    // The sprite's non-transparent pixels that land in the frame at p.
    std::uint64_t drawnPixels(Place p) const {
        std::uint64_t n = 0;
        for (std::int32_t y = std::max(0, -p.y); y < std::min(sprite_.height, FRAME_HEIGHT - p.y);
             ++y) {
            for (std::int32_t x = std::max(0, -p.x); x < std::min(sprite_.width, FRAME_WIDTH - p.x);
                 ++x) {
                n += alphas_[static_cast<std::size_t>(y) * sprite_.width + x] != 0;
            }
        }
        return n;
    }

private:
    const char* name_;
    std::vector<std::uint8_t> rle_;
    rle565_sprite sprite_{};
    std::vector<std::uint8_t> alphas_;
    SDL_Surface* surface_ = nullptr;
    bool bAlpha_ = false;
};

// The two frames: ours, and SDL's surface over its own pixels.
struct Frames {
    std::vector<std::uint16_t> ours;
    SDL_Surface* sdl = nullptr;
    rle565_target target{};

    Frames() {
        ours.assign(static_cast<std::size_t>(FRAME_WIDTH) * FRAME_HEIGHT, 0);
        sdl = SDL_CreateRGBSurfaceWithFormat(0, FRAME_WIDTH, FRAME_HEIGHT, 16,
                                             SDL_PIXELFORMAT_RGB565);
        target = {ours.data(), nullptr, FRAME_WIDTH, FRAME_WIDTH, FRAME_HEIGHT, 0};
    }
    ~Frames() { SDL_FreeSurface(sdl); }
    Frames(const Frames&) = delete;
    Frames& operator=(const Frames&) = delete;

    std::uint16_t* sdlRow(std::int32_t y) const {
        return reinterpret_cast<std::uint16_t*>(static_cast<std::uint8_t*>(sdl->pixels) +
                                                y * sdl->pitch);
    }
    void reset(const std::vector<std::uint16_t>& background) {
        ours = background;
        target.pixels = ours.data();
        for (std::int32_t y = 0; y < FRAME_HEIGHT; ++y) {
            std::copy_n(background.begin() + static_cast<std::ptrdiff_t>(y) * FRAME_WIDTH,
                        FRAME_WIDTH, sdlRow(y));
        }
    }
    // The number of pixels that differ.
    std::uint64_t differences() const {
        std::uint64_t n = 0;
        for (std::int32_t y = 0; y < FRAME_HEIGHT; ++y) {
            const std::uint16_t* row = sdlRow(y);
            for (std::int32_t x = 0; x < FRAME_WIDTH; ++x) {
                n += row[x] != ours[static_cast<std::size_t>(y) * FRAME_WIDTH + x];
            }
        }
        return n;
    }
};

void drawOurs(const SpritePair& pair, const std::vector<Place>& places, const Frames& frames) {
    for (const Place& p : places) rle565_draw(&pair.sprite(), &frames.target, p.x, p.y);
}

void drawSdl(const SpritePair& pair, const std::vector<Place>& places, const Frames& frames) {
    for (const Place& p : places) {
        SDL_Rect rect{p.x, p.y, 0, 0};  // SDL_BlitSurface clips it in place
        SDL_BlitSurface(pair.surface(), nullptr, frames.sdl, &rect);
    }
}

// The thread's CPU time taken by f: on a machine shared with other work, time
// spent descheduled does not count against the side that happened to run.
template <class F>
double seconds(F&& f) {
    timespec start{};
    timespec end{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    f();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    return double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) * 1e-9;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Timing {
    double ours = 0;  // seconds for all places, median of the rounds
    double sdl = 0;
    std::uint64_t pixels = 0;  // pixels drawn by all places
    std::uint64_t differences = 0;
};

Timing measure(const SpritePair& pair, const std::vector<Place>& places,
               const std::vector<std::uint16_t>& background, Frames& frames, int rounds) {
    Timing t;
    for (const Place& p : places) t.pixels += pair.drawnPixels(p);
    // Once untimed from the same background on both sides: the frames must match.
    frames.reset(background);
    drawOurs(pair, places, frames);
    drawSdl(pair, places, frames);
    t.differences = frames.differences();
    // SDL encodes a surface at its first blit; one that did not take RLE
    // acceleration would be measured on another path.
    if ((pair.surface()->flags & SDL_RLEACCEL) == 0) {
        std::fprintf(stderr, "draw_sdl: SDL did not RLE-encode the %s sprite\n", pair.name());
        std::exit(2);
    }
    std::vector<double> ours;
    std::vector<double> sdl;
    for (int round = 0; round < rounds; ++round) {
        // Each side goes first in every other round.
        frames.reset(background);
        if (round % 2 == 0) ours.push_back(seconds([&] { drawOurs(pair, places, frames); }));
        sdl.push_back(seconds([&] { drawSdl(pair, places, frames); }));
        if (round % 2 == 1) ours.push_back(seconds([&] { drawOurs(pair, places, frames); }));
    }
    t.ours = median(ours);
    t.sdl = median(sdl);
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 21;
    const SpritePair keyed("keyed", encodeRle(makeKeyed(), "keyed"));
    const SpritePair alpha("alpha", encodeRle(makeAlpha(), "alpha"));
    const std::vector<std::uint16_t> background = makeBackground();
    Frames frames;

    std::printf(
        "%zu draws a round, median of %d rounds (thread CPU time), %dx%d RGB565 frame; SDL "
        "%d.%d.%d\n\n",
        PLACES, rounds, FRAME_WIDTH, FRAME_HEIGHT, SDL_MAJOR_VERSION, SDL_MINOR_VERSION,
        SDL_PATCHLEVEL);
    std::printf("%-7s %-11s %10s %10s %7s %7s %12s %10s %s\n", "sprite", "places", "rle565 us",
                "SDL us", "ratio", "target", "rle565 ns/px", "SDL ns/px", "frames");
    bool bSame = true;
    bool bMet = true;
    for (const SpritePair* pair : {&keyed, &alpha}) {
        const double target = pair == &keyed ? 2.0 : 1.0;
        const std::int32_t w = pair->sprite().width;
        const std::int32_t h = pair->sprite().height;
        double perPixel[2] = {};
        for (const bool bPartlyOff : {false, true}) {
            const std::vector<Place> places = makePlaces(w, h, bPartlyOff, bPartlyOff ? 11 : 7);
            const Timing t = measure(*pair, places, background, frames, rounds);
            const double ratio = t.ours / t.sdl;
            perPixel[bPartlyOff] = t.ours / double(t.pixels);
            bSame = bSame && t.differences == 0;
            bMet = bMet && ratio <= target;
            std::printf("%-7s %-11s %10.1f %10.1f %6.2fx %6.1fx %12.3f %10.3f %s\n", pair->name(),
                        bPartlyOff ? "partly off" : "inside", t.ours * 1e6, t.sdl * 1e6, ratio,
                        target, t.ours * 1e9 / double(t.pixels), t.sdl * 1e9 / double(t.pixels),
                        t.differences == 0
                            ? "identical"
                            : (std::to_string(t.differences) + " pixels differ").c_str());
        }
        const double clipped = perPixel[1] / perPixel[0];
        bMet = bMet && clipped <= 1.0;
        std::printf("%-7s clipped / unclipped cost per drawn pixel: %.2fx (target 1.0x)\n\n",
                    pair->name(), clipped);
    }
    std::printf("frames %s; targets %s\n", bSame ? "identical to SDL's" : "DIFFER from SDL's",
                bMet ? "met" : "missed");
    return bSame && bMet ? 0 : 1;
}
