#include "encode_multipal.h"

EncodeResult encodeMultipal(const Image&, const char*, std::int32_t&) {
    return EncodeResult::TooManyColors;  // TODO: the encoder
}
