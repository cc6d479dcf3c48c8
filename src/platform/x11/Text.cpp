#include "platform/x11/Text.h"

namespace lc::x11 {
namespace {

void appendCodePoint(std::string& out, char32_t cp) {
    if (cp < 0x20 || cp == 0x7f) cp = U' ';
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xc0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += char(0xe0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3f));
        out += char(0x80 | (cp & 0x3f));
    } else {
        out += char(0xf0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3f));
        out += char(0x80 | ((cp >> 6) & 0x3f));
        out += char(0x80 | (cp & 0x3f));
    }
}

// Decodes one UTF-8 sequence at `i`; U+FFFD and one byte consumed when it is malformed,
// overlong, a surrogate or beyond U+10FFFF.
char32_t decodeUtf8(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    int len = 0;
    char32_t cp = 0;
    if (b0 < 0x80) {
        ++i;
        return b0;
    } else if ((b0 & 0xe0) == 0xc0) {
        len = 2;
        cp = b0 & 0x1f;
    } else if ((b0 & 0xf0) == 0xe0) {
        len = 3;
        cp = b0 & 0x0f;
    } else if ((b0 & 0xf8) == 0xf0) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        ++i;
        return 0xfffd;
    }
    if (i + std::size_t(len) > s.size()) {
        ++i;
        return 0xfffd;
    }
    for (int k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + std::size_t(k)]);
        if ((b & 0xc0) != 0x80) {
            ++i;
            return 0xfffd;
        }
        cp = (cp << 6) | (b & 0x3f);
    }
    static constexpr char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
        ++i;
        return 0xfffd;
    }
    i += std::size_t(len);
    return cp;
}

} // namespace

std::string cleanText(std::string_view bytes, TextEncoding encoding, std::size_t maxBytes) {
    if (const auto nul = bytes.find('\0'); nul != std::string_view::npos) bytes = bytes.substr(0, nul);
    std::string out;
    out.reserve(std::min(bytes.size(), maxBytes));
    std::size_t i = 0;
    while (i < bytes.size()) {
        char32_t cp;
        if (encoding == TextEncoding::utf8) {
            cp = decodeUtf8(bytes, i);
        } else {
            const auto b = static_cast<unsigned char>(bytes[i]);
            if (encoding == TextEncoding::compoundText && b == 0x1b) {
                // Skip the escape sequence that switches character sets: ESC, intermediates, final.
                ++i;
                while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) >= 0x20 &&
                       static_cast<unsigned char>(bytes[i]) <= 0x2f)
                    ++i;
                if (i < bytes.size()) ++i;
                continue;
            }
            cp = b;
            ++i;
        }
        const std::size_t before = out.size();
        appendCodePoint(out, cp);
        if (out.size() > maxBytes) {
            out.resize(before);
            break;
        }
    }
    return out;
}

WmClass parseWmClass(std::string_view bytes) {
    WmClass c;
    const auto first = bytes.find('\0');
    c.instance = cleanText(bytes.substr(0, first), TextEncoding::latin1, 256);
    if (first != std::string_view::npos)
        c.className = cleanText(bytes.substr(first + 1), TextEncoding::latin1, 256);
    return c;
}

} // namespace lc::x11
