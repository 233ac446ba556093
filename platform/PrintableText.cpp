#include "PrintableText.h"

#include <cstddef>
#include <cstdint>

namespace platform {
namespace {

void AppendOctal(std::string& out, unsigned char byte) {
    out.push_back('\\');
    out.push_back(static_cast<char>('0' + (byte >> 6)));
    out.push_back(static_cast<char>('0' + ((byte >> 3) & 7)));
    out.push_back(static_cast<char>('0' + (byte & 7)));
}

// The length of the well-formed UTF-8 sequence of two or more bytes at text[at] and its code
// point; a length of 0 when there is none (a stray continuation byte, an overlong form, a
// surrogate, a value past U+10FFFF or a sequence cut short).
std::size_t DecodeSequence(std::string_view text, std::size_t at, char32_t* codePoint) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    auto value = static_cast<char32_t>(lead & (0x7F >> length));
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
            return 0;
        }
        value = static_cast<char32_t>(value << 6 | (next & 0x3Fu));
    }
    *codePoint = value;
    return length;
}

bool IsHiddenControl(char32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string EscapeForDisplay(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F) {
                AppendOctal(out, byte);
            } else if (byte == '\\') {
                out += "\\\\";
            } else {
                out.push_back(static_cast<char>(byte));
            }
            ++at;
            continue;
        }
        char32_t codePoint = 0;
        const std::size_t length = DecodeSequence(text, at, &codePoint);
        if (length == 0) {
            AppendOctal(out, byte);
            ++at;
            continue;
        }
        for (std::size_t i = 0; i < length; ++i) {
            if (IsHiddenControl(codePoint)) {
                AppendOctal(out, static_cast<unsigned char>(text[at + i]));
            } else {
                out.push_back(text[at + i]);
            }
        }
        at += length;
    }
    return out;
}

std::size_t Utf8CharacterLength(std::string_view text, std::size_t at) {
    if (static_cast<unsigned char>(text[at]) < 0x80) {
        return 1;
    }
    char32_t codePoint = 0;
    return DecodeSequence(text, at, &codePoint);
}

}  // namespace platform
