// Text from outside the program (file names, messages that name files)
// made safe to print: for a terminal, where control characters would be
// obeyed, and as JSON strings, which must be valid UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rle565 {

// The length of the well-formed UTF-8 sequence at text[i] (2 to 4 bytes,
// no overlong forms, no surrogates, nothing past U+10FFFF), or 0.
std::size_t utf8Length(std::string_view text, std::size_t i);

// The text for a terminal: control characters (C0, DEL, and C1 as UTF-8)
// and bytes that are not well-formed UTF-8 become \xNN, one per byte, and a
// backslash becomes \\, so the escaping cannot be mistaken; printable text,
// UTF-8 included, stays as it is.
std::string terminalText(std::string_view text);

// A JSON string, quotes included: quotes, backslashes and control
// characters (C0, DEL, and C1 as UTF-8) escaped as \u00NN, other well-formed
// UTF-8 as it is, and each byte that is not
// part of well-formed UTF-8 as U+FFFD, so the line is always valid JSON.
std::string jsonString(std::string_view text);

}  // namespace rle565
