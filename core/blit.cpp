#include "blit.h"

std::uint16_t blendRgb565(std::uint16_t s, std::uint16_t, std::uint32_t) { return s; }
void blitImage(const Image&, std::int32_t, std::int32_t, const Surface&) {}
void decodeRleLines(const Image&, std::int32_t, std::int32_t, const Surface&) {}
Image decodeRleImage(const Image&) { return {}; }
bool convertRleToBmp(const Image&, const char*) { return false; }
