#include "formats/gif_reader.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "error_text.h"
#include "formats/bmp_pixels.h"
#include "formats/image_limits.h"

namespace rle565 {

namespace {

constexpr const char* ERROR_TOO_LARGE = "image too large";
// Followed by giflib's text of the fault.
constexpr const char* ERROR_GIF_PREFIX = "GIF read error: ";

// Interlaced frames send every eighth row from row 0, then from row 4, every
// fourth from row 2 and every second from row 1.
constexpr std::array<std::int32_t, 4> PASS_FIRST_ROW = {0, 4, 2, 1};
constexpr std::array<std::int32_t, 4> PASS_ROW_STEP = {8, 8, 4, 2};

// Where giflib reads from: a span, after bytes that were read already.
struct Source {
    std::span<const std::uint8_t> head;
    std::span<const std::uint8_t> bytes;
    std::FILE* file = nullptr;
    std::uint64_t nRead = 0;  // bytes handed to giflib so far
};

int readSource(GifFileType* gif, GifByteType* out, int length) {
    auto* source = static_cast<Source*>(gif->UserData);
    if (length <= 0) return 0;
    auto wanted = static_cast<std::size_t>(length);
    std::size_t done = 0;
    for (std::span<const std::uint8_t>* part : {&source->head, &source->bytes}) {
        const std::size_t n = std::min(wanted - done, part->size());
        if (n > 0) std::memcpy(out + done, part->data(), n);
        *part = part->subspan(n);
        done += n;
    }
    if (done < wanted && source->file)
        done += std::fread(out + done, 1, wanted - done, source->file);
    source->nRead += done;
    return static_cast<int>(done);
}

struct GifCloser {
    void operator()(GifFileType* gif) const {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};
using GifPtr = std::unique_ptr<GifFileType, GifCloser>;

void setGifError(ErrorText& errorText, int error) {
    const char* text = GifErrorString(error);
    std::snprintf(errorText.data(), errorText.size(), "%s%s", ERROR_GIF_PREFIX,
                  text ? text : "unknown error");
}

// The canvas frames are composed on, and the state between frames.
class Composer {
public:
    Composer(GifFileType* gif, ErrorText& errorText) : gif_(gif), errorText_(errorText) {}

    // Reads records up to the end of the file or of the frames wanted,
    // handing each composed frame on. False after filling errorText.
    bool run(const std::function<void(Image&)>& onFrame, bool bFirstOnly) {
        GraphicsControlBlock control = noControl();
        for (;;) {
            GifRecordType type = UNDEFINED_RECORD_TYPE;
            if (DGifGetRecordType(gif_, &type) == GIF_ERROR) {
                // A file cut after a whole frame keeps its frames.
                if (nFrames_ > 0 && gif_->Error == D_GIF_ERR_READ_FAILED) return true;
                return fail(gif_->Error);
            }
            if (type == TERMINATE_RECORD_TYPE) break;
            if (type == EXTENSION_RECORD_TYPE) {
                if (!readExtension(control)) return false;
                continue;
            }
            if (type != IMAGE_DESC_RECORD_TYPE) return fail(D_GIF_ERR_WRONG_RECORD);
            if (DGifGetImageDesc(gif_) == GIF_ERROR) return fail(gif_->Error);
            if (!drawFrame(control)) return false;
            if (!reach(height_)) return false;
            Image frame = snapshot();
            onFrame(frame);
            ++nFrames_;
            if (bFirstOnly) return true;
            dispose(control);
            control = noControl();
        }
        if (nFrames_ == 0) return fail(D_GIF_ERR_NO_IMAG_DSCR);
        return true;
    }

private:
    static GraphicsControlBlock noControl() {
        GraphicsControlBlock control{};
        control.DisposalMode = DISPOSAL_UNSPECIFIED;
        control.TransparentColor = NO_TRANSPARENT_COLOR;
        return control;
    }

    bool fail(int error) {
        setGifError(errorText_, error);
        return false;
    }

    bool readExtension(GraphicsControlBlock& control) {
        int code = 0;
        GifByteType* block = nullptr;
        if (DGifGetExtension(gif_, &code, &block) == GIF_ERROR) return fail(gif_->Error);
        // A graphics control block of the wrong length is ignored.
        if (code == GRAPHICS_EXT_FUNC_CODE && block) {
            GraphicsControlBlock read{};
            if (DGifExtensionToGCB(block[0], block + 1, &read) == GIF_OK) control = read;
        }
        while (block) {
            if (DGifGetExtensionNext(gif_, &block) == GIF_ERROR) return fail(gif_->Error);
        }
        return true;
    }

    // Sizes the canvas at the first frame: the screen, grown to hold that
    // frame where the screen is smaller.
    bool makeCanvas(const GifImageDesc& desc) {
        const std::int64_t width =
            std::max<std::int64_t>(gif_->SWidth, std::int64_t{desc.Left} + desc.Width);
        const std::int64_t height =
            std::max<std::int64_t>(gif_->SHeight, std::int64_t{desc.Top} + desc.Height);
        if (!withinPixelLimit(static_cast<std::uint64_t>(width),
                              static_cast<std::uint64_t>(height))) {
            setError(errorText_, ERROR_TOO_LARGE);
            return false;
        }
        width_ = static_cast<std::int32_t>(width);
        height_ = static_cast<std::int32_t>(height);
        return true;
    }

    // Grows the canvas to its first `rows` lines, transparent. The canvas
    // grows with the lines the first frame's codes reach, so that a screen
    // a header claims costs nothing until the data fills it, and no further
    // than the bytes read so far may stand for (a screen far larger than its
    // frames is refused). False after filling errorText.
    bool reach(std::int64_t rows) {
        const auto size = static_cast<std::size_t>(std::min<std::int64_t>(rows, height_)) *
                          static_cast<std::size_t>(width_);
        if (pixels_.size() >= size) return true;
        if (!withinFileShare(size, static_cast<const Source*>(gif_->UserData)->nRead)) {
            setError(errorText_, ERROR_TOO_LARGE);
            return false;
        }
        pixels_.reserve(std::max(size, pixels_.size() * 2));
        alpha_.reserve(pixels_.capacity());
        pixels_.resize(size, COLOR_KEY);
        alpha_.resize(size, 0);
        return true;
    }

    bool drawFrame(const GraphicsControlBlock& control) {
        const GifImageDesc& desc = gif_->Image;
        if (desc.Left < 0 || desc.Top < 0 || desc.Width < 0 || desc.Height < 0)
            return fail(D_GIF_ERR_IMAGE_DEFECT);
        if (nFrames_ == 0 && !makeCanvas(desc)) return false;
        if (!withinPixelLimit(static_cast<std::uint64_t>(desc.Width),
                              static_cast<std::uint64_t>(desc.Height))) {
            setError(errorText_, ERROR_TOO_LARGE);
            return false;
        }
        const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : gif_->SColorMap;
        if (!map) return fail(D_GIF_ERR_NO_COLOR_MAP);
        // The map's colours, RGB565; indices past the map draw black.
        std::array<std::uint16_t, 256> colors{};
        const int nColors = std::clamp(map->ColorCount, 0, 256);
        for (int i = 0; i < nColors; ++i) {
            const GifColorType& c = map->Colors[i];
            colors[static_cast<std::size_t>(i)] = detail::reduceRgb(c.Red, c.Green, c.Blue);
        }
        if (control.DisposalMode == DISPOSE_PREVIOUS) {
            savedPixels_ = pixels_;
            savedAlpha_ = alpha_;
        }
        if (desc.Width == 0 || desc.Height == 0) return skipCodes();

        std::vector<GifPixelType> line(static_cast<std::size_t>(desc.Width));
        const int transparent = control.TransparentColor;
        std::int32_t pass = 0;
        std::int32_t row = 0;
        for (std::int32_t n = 0; n < desc.Height; ++n) {
            if (DGifGetLine(gif_, line.data(), desc.Width) == GIF_ERROR) return fail(gif_->Error);
            std::int32_t y = n;
            if (desc.Interlace) {
                while (row >= desc.Height) {
                    ++pass;
                    row = PASS_FIRST_ROW[static_cast<std::size_t>(pass)];
                }
                y = row;
                row += PASS_ROW_STEP[static_cast<std::size_t>(pass)];
            }
            const std::int64_t canvasY = std::int64_t{desc.Top} + y;
            if (canvasY >= height_) continue;
            if (!reach(canvasY + 1)) return false;
            const std::int32_t right = static_cast<std::int32_t>(
                std::min<std::int64_t>(desc.Width, std::int64_t{width_} - desc.Left));
            const std::size_t start =
                static_cast<std::size_t>(canvasY) * static_cast<std::size_t>(width_) +
                static_cast<std::size_t>(desc.Left);
            for (std::int32_t x = 0; x < right; ++x) {
                const int index = line[static_cast<std::size_t>(x)];
                if (index == transparent) continue;
                pixels_[start + static_cast<std::size_t>(x)] =
                    colors[static_cast<std::size_t>(index)];
                alpha_[start + static_cast<std::size_t>(x)] = ALPHA_OPAQUE;
            }
        }
        return true;
    }

    // The data of a frame that covers no pixel.
    bool skipCodes() {
        int codeSize = 0;
        GifByteType* block = nullptr;
        if (DGifGetCode(gif_, &codeSize, &block) == GIF_ERROR) return fail(gif_->Error);
        while (block) {
            if (DGifGetCodeNext(gif_, &block) == GIF_ERROR) return fail(gif_->Error);
        }
        return true;
    }

    // The composed canvas as a plain image, with an alpha plane only where
    // the colour key alone would lose something: a transparent pixel, or a
    // visible pixel of the key's own colour.
    Image snapshot() const {
        Image image;
        image.width = width_;
        image.height = height_;
        image.pixels = pixels_;
        bool bAlpha = false;
        for (std::size_t i = 0; i < pixels_.size() && !bAlpha; ++i)
            bAlpha = alpha_[i] == 0 || pixels_[i] == COLOR_KEY;
        if (bAlpha) {
            image.alpha = alpha_;
            image.bAlpha = true;
        }
        return image;
    }

    void dispose(const GraphicsControlBlock& control) {
        const GifImageDesc& desc = gif_->Image;
        if (control.DisposalMode == DISPOSE_PREVIOUS) {
            // What was saved before the first frame may not have reached
            // every line yet.
            pixels_.swap(savedPixels_);
            alpha_.swap(savedAlpha_);
            pixels_.resize(savedPixels_.size(), COLOR_KEY);
            alpha_.resize(savedAlpha_.size(), 0);
        } else if (control.DisposalMode == DISPOSE_BACKGROUND) {
            // Restored to the background, which animations take as transparent.
            const std::int64_t bottom =
                std::min<std::int64_t>(height_, std::int64_t{desc.Top} + desc.Height);
            const std::int64_t right =
                std::min<std::int64_t>(width_, std::int64_t{desc.Left} + desc.Width);
            for (std::int64_t y = desc.Top; y < bottom; ++y) {
                for (std::int64_t x = desc.Left; x < right; ++x) {
                    const auto i = static_cast<std::size_t>(y * width_ + x);
                    pixels_[i] = COLOR_KEY;
                    alpha_[i] = 0;
                }
            }
        }
    }

    GifFileType* gif_;
    ErrorText& errorText_;
    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
    std::vector<std::uint16_t> pixels_;
    std::vector<std::uint8_t> alpha_;
    std::vector<std::uint16_t> savedPixels_;
    std::vector<std::uint8_t> savedAlpha_;
    std::size_t nFrames_ = 0;
};

GifPtr openGif(Source& source, ErrorText& errorText) {
    int error = 0;
    GifPtr gif(DGifOpen(&source, readSource, &error));
    if (!gif) {
        if (error == D_GIF_ERR_NOT_ENOUGH_MEM) throw std::bad_alloc();
        setGifError(errorText, error);
    }
    return gif;
}

std::unique_ptr<Image> readFirstFrame(Source& source, ErrorText& errorText) {
    const GifPtr gif = openGif(source, errorText);
    if (!gif) return nullptr;
    std::unique_ptr<Image> image;
    Composer composer(gif.get(), errorText);
    if (!composer.run([&](Image& frame) { image = std::make_unique<Image>(std::move(frame)); },
                      true))
        return nullptr;
    return image;
}

}  // namespace

bool isGif(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= GIF_SIGNATURE_SIZE &&
           (std::memcmp(bytes.data(), "GIF87a", GIF_SIGNATURE_SIZE) == 0 ||
            std::memcmp(bytes.data(), "GIF89a", GIF_SIGNATURE_SIZE) == 0);
}

std::unique_ptr<Image> readGifBytes(std::span<const std::uint8_t> bytes, ErrorText& errorText) {
    Source source{{}, bytes, nullptr};
    return readFirstFrame(source, errorText);
}

std::unique_ptr<Image> readGif(std::FILE* file, std::span<const std::uint8_t> head,
                               ErrorText& errorText) {
    Source source{head, {}, file};
    return readFirstFrame(source, errorText);
}

bool readGifFrames(std::span<const std::uint8_t> bytes, ErrorText& errorText,
                   const std::function<void(Image&)>& onFrame) {
    Source source{{}, bytes, nullptr};
    const GifPtr gif = openGif(source, errorText);
    if (!gif) return false;
    Composer composer(gif.get(), errorText);
    return composer.run(onFrame, false);
}

std::size_t countGifFrames(std::span<const std::uint8_t> bytes) {
    Source source{{}, bytes, nullptr};
    int error = 0;
    const GifPtr gif(DGifOpen(&source, readSource, &error));
    if (!gif) return 0;
    std::size_t count = 0;
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR || type == TERMINATE_RECORD_TYPE)
            return count;
        GifByteType* block = nullptr;
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) return count;
            while (block) {
                if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) return count;
            }
        } else if (type == IMAGE_DESC_RECORD_TYPE) {
            int codeSize = 0;
            if (DGifGetImageDesc(gif.get()) == GIF_ERROR ||
                DGifGetCode(gif.get(), &codeSize, &block) == GIF_ERROR)
                return count;
            while (block) {
                if (DGifGetCodeNext(gif.get(), &block) == GIF_ERROR) return count;
            }
            ++count;
        } else {
            return count;
        }
    }
}

}  // namespace rle565
