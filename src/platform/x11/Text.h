#pragma once
// Window texts as the X server stores them (UTF-8, Latin-1 or compound text, possibly broken
// or huge) turned into clean one-line UTF-8.
#include <cstddef>
#include <string>
#include <string_view>

namespace lc::x11 {

// Titles longer than this are cut (at a character boundary).
inline constexpr std::size_t kMaxTitleBytes = 4096;

enum class TextEncoding { utf8, latin1, compoundText };

// Invalid UTF-8 becomes U+FFFD, control characters become spaces, NULs end the text.
std::string cleanText(std::string_view bytes, TextEncoding encoding, std::size_t maxBytes = kMaxTitleBytes);

// WM_CLASS holds "instance\0class\0".
struct WmClass {
    std::string instance;
    std::string className;
};
WmClass parseWmClass(std::string_view bytes);

} // namespace lc::x11
