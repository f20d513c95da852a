// The single-palette RLE encoder, which hands images with too many colours to
// the multi-palette encoder when multipal conversion is on.
#pragma once

#include <rle565/encode_result.h>
#include <rle565/image.h>
#include <rle565/output_target.h>

#include <cstdint>
#include <vector>

namespace rle565 {

// Converts a plain image into an RLE file at output. nColors is set to 0
// at the start and holds the count to report when the result is TooManyColors.
// A failed consistency check gives CheckFailed, with the check in *failure.
EncodeResult convertToRle(const Image& image, const OutputTarget& output, bool bMultipal,
                          std::int32_t& nColors, CheckFailure* failure = nullptr);

// The same into memory: on Written, `bytes` holds the whole RLE file, exactly
// the bytes convertToRle would write; on any other result it is empty.
// WriteFailed does not occur.
EncodeResult encodeRle(const Image& image, std::vector<std::uint8_t>& bytes, bool bMultipal,
                       std::int32_t& nColors, CheckFailure* failure = nullptr);

}  // namespace rle565
