#include "encode_single.h"

EncodeResult convertToRle(const Image&, const char*, bool, std::int32_t& nColors) {
    nColors = 0;
    return EncodeResult::TooManyColors;  // TODO: the encoder
}
