// How rle565-pack names what it makes: the output files below the output
// folder and the C names of the sprites in a C array.
#pragma once

#include <string>
#include <string_view>

namespace rle565 {

// The C name of a sprite from its path below its input folder, without the
// extension: lower case, every character other than a letter or digit
// becomes '_', a leading digit gets a '_' before it, then the prefix goes in
// front.
std::string spriteName(std::string_view path, std::string_view prefix);

// The name in upper case, for the sprite's macros (HERO_1_SIZE).
std::string macroName(std::string_view name);

// Whether a name is one of C's keywords, which no array can be called.
bool isCKeyword(std::string_view name);

// Whether text may follow a sprite's name in C: letters, digits and '_'
// (a prefix, which may not start with a digit when it is not empty).
bool isCPrefix(std::string_view prefix);

// Whether a linker section name can be written as it is: letters, digits,
// '.', '_' and '$'.
bool isSectionName(std::string_view name);

}  // namespace rle565
