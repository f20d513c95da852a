#include "bmp_writer.h"

bool writeBmp(const Image&, const char*) { return false; }  // TODO: the writer
std::vector<std::uint8_t> encodeBmp(const Image&) { return {}; }
