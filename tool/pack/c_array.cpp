#include "c_array.h"

#include <cstdio>

#include "pack_names.h"

namespace rle565 {

namespace {

// Bytes per line of an array's initialiser.
constexpr std::size_t BYTES_PER_LINE = 16;

std::string guardName(const std::string& headerName) {
    std::string guard;
    for (const char c : macroName(headerName)) {
        guard += (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ? c : '_';
    }
    if (guard.empty() || (guard[0] >= '0' && guard[0] <= '9')) guard.insert(0, "RLE565_");
    return guard + "_INCLUDED";
}

}  // namespace

std::string makeCHeader(const std::vector<CSprite>& sprites, const std::string& headerName) {
    const std::string guard = guardName(headerName);
    std::string text = "/* RLE sprites made by rle565-pack; draw them with <rle565/draw.h>. */\n";
    text += "#ifndef " + guard + "\n#define " + guard + "\n\n#include <stdint.h>\n\n";
    text += "#ifdef __cplusplus\nextern \"C\" {\n#endif\n";
    for (const CSprite& sprite : sprites) {
        const std::string macro = macroName(sprite.name);
        text += "\n#define " + macro + "_SIZE " + std::to_string(sprite.bytes.size()) + "\n";
        text += "#define " + macro + "_WIDTH " + std::to_string(sprite.width) + "\n";
        text += "#define " + macro + "_HEIGHT " + std::to_string(sprite.height) + "\n";
        text += "extern const uint8_t " + sprite.name + "[" + macro + "_SIZE];\n";
    }
    text += "\n#ifdef __cplusplus\n}\n#endif\n\n#endif\n";
    return text;
}

std::string makeCSource(const std::vector<CSprite>& sprites, const std::string& headerName,
                        const std::string& section) {
    std::string text = "/* RLE sprites made by rle565-pack. */\n";
    text += "#include \"" + headerName + "\"\n\n";
    // Aligned to 4 bytes so that the runtime may read the arrays in words.
    text += "#if defined(__GNUC__)\n#define RLE565_SPRITE __attribute__((aligned(4)";
    if (!section.empty()) text += ", section(\"" + section + "\")";
    text += "))\n#else\n#define RLE565_SPRITE\n#endif\n";
    for (const CSprite& sprite : sprites) {
        text += "\nconst uint8_t " + sprite.name + "[" + macroName(sprite.name) +
                "_SIZE] RLE565_SPRITE = {";
        for (std::size_t i = 0; i < sprite.bytes.size(); ++i) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02x,", unsigned{sprite.bytes[i]});
            text += i % BYTES_PER_LINE == 0 ? "\n    " : " ";
            text += hex;
        }
        text += "\n};\n";
    }
    text += "\n#undef RLE565_SPRITE\n";
    return text;
}

}  // namespace rle565
