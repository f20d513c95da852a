#include "text_escape.h"

#include <cstdint>
#include <cstdio>

namespace rle565 {

std::size_t utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + n > text.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < n; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return n;
}

namespace {

void appendHexByte(std::string& out, unsigned char c) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\x%02X", unsigned{c});
    out += escape;
}

}  // namespace

std::string terminalText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            appendHexByte(out, c);
            ++i;
        } else if (c < 0x80) {
            out += text[i++];
        } else if (const std::size_t n = utf8Length(text, i); n > 0) {
            // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F.
            if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
                appendHexByte(out, c);
                appendHexByte(out, static_cast<unsigned char>(text[i + 1]));
            } else {
                out.append(text, i, n);
            }
            i += n;
        } else {
            appendHexByte(out, c);
            ++i;
        }
    }
    return out;
}

std::string jsonString(std::string_view text) {
    std::string quoted = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += text[i++];
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", unsigned{c});
            quoted += escape;
            ++i;
        } else if (c < 0x80) {
            quoted += text[i++];
        } else if (const std::size_t n = utf8Length(text, i); n > 0) {
            // The C1 controls, C2 80 to C2 9F, are escaped as the text does
            // them, so a JSON line shown on a terminal cannot drive it either.
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (c == 0xC2 && next < 0xA0) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", unsigned{next});
                quoted += escape;
            } else {
                quoted.append(text, i, n);
            }
            i += n;
        } else {
            quoted += "\\ufffd";
            ++i;
        }
    }
    return quoted + "\"";
}

}  // namespace rle565
