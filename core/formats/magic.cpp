#include "formats/magic.h"

#include <rle565/rle_format.h>

#include "formats/gif_reader.h"
#include "formats/png_reader.h"

namespace rle565 {

FileFormat recogniseFormat(std::span<const std::uint8_t> head) {
    if (head.size() < MAGIC_SHORT) return FileFormat::Unknown;
    if (head[0] == RLE_MAGIC_0 && head[1] == RLE_MAGIC_1) return FileFormat::Rle;
    if (head[0] == 'B' && head[1] == 'M') return FileFormat::Bmp;
    if (isPng(head)) return FileFormat::Png;
    if (isGif(head)) return FileFormat::Gif;
    return FileFormat::Unknown;
}

bool startsPng(std::span<const std::uint8_t> head) {
    return head.size() >= MAGIC_SHORT && head[0] == PNG_SIGNATURE[0] && head[1] == PNG_SIGNATURE[1];
}

bool startsGif(std::span<const std::uint8_t> head) {
    return head.size() >= MAGIC_SHORT && head[0] == 'G' && head[1] == 'I';
}

}  // namespace rle565
