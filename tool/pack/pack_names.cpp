#include "pack_names.h"

#include <array>
#include <cctype>

namespace rle565 {

namespace {

bool isAsciiAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string spriteName(std::string_view path, std::string_view prefix) {
    std::string name;
    for (const char c : path) {
        if (!isAsciiAlnum(c)) {
            name += '_';
        } else if (c >= 'A' && c <= 'Z') {
            name += static_cast<char>(c - 'A' + 'a');
        } else {
            name += c;
        }
    }
    if (!name.empty() && isDigit(name[0])) name.insert(name.begin(), '_');
    return std::string(prefix) + name;
}

std::string macroName(std::string_view name) {
    std::string macro(name);
    for (char& c : macro) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return macro;
}

bool isCKeyword(std::string_view name) {
    static constexpr std::array<std::string_view, 44> KEYWORDS = {
        "auto",           "break",        "case",     "char",    "const",    "continue",
        "default",        "do",           "double",   "else",    "enum",     "extern",
        "float",          "for",          "goto",     "if",      "inline",   "int",
        "long",           "register",     "restrict", "return",  "short",    "signed",
        "sizeof",         "static",       "struct",   "switch",  "typedef",  "union",
        "unsigned",       "void",         "volatile", "while",   "_Bool",    "_Complex",
        "_Imaginary",     "_Alignas",     "_Alignof", "_Atomic", "_Generic", "_Noreturn",
        "_Static_assert", "_Thread_local"};
    for (const std::string_view keyword : KEYWORDS) {
        if (name == keyword) return true;
    }
    return false;
}

bool isCPrefix(std::string_view prefix) {
    if (!prefix.empty() && isDigit(prefix[0])) return false;
    for (const char c : prefix) {
        if (!isAsciiAlnum(c) && c != '_') return false;
    }
    return true;
}

bool isSectionName(std::string_view name) {
    if (name.empty()) return false;
    for (const char c : name) {
        if (!isAsciiAlnum(c) && c != '.' && c != '_' && c != '$') return false;
    }
    return true;
}

}  // namespace rle565
