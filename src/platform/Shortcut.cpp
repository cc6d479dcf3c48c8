#include "platform/Shortcut.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace lc {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

constexpr std::array<std::string_view, 9> kNamedKeys = {"Space", "Print", "Pause",  "Insert",  "Delete",
                                                        "Home",  "End",   "PageUp", "PageDown"};

// The canonical spelling of a key name, or "" when it is not one we bind.
std::string canonicalKey(std::string_view name) {
    if (name.size() == 1 && std::isalnum(static_cast<unsigned char>(name[0])))
        return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(name[0]))));
    if (name.size() >= 2 && name.size() <= 3 && (name[0] == 'F' || name[0] == 'f')) {
        int n = 0;
        for (char c : name.substr(1)) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return {};
            n = n * 10 + (c - '0');
        }
        if (n >= 1 && n <= 24 && name[1] != '0') return "F" + std::to_string(n);
        return {};
    }
    for (std::string_view known : kNamedKeys)
        if (lower(known) == lower(name)) return std::string(known);
    return {};
}

bool typesText(const std::string& key) {
    return key.size() == 1 || key == "Space";
}

} // namespace

std::string Shortcut::text() const {
    std::string out;
    if (modifiers & ctrl) out += "Ctrl+";
    if (modifiers & alt) out += "Alt+";
    if (modifiers & shift) out += "Shift+";
    if (modifiers & super) out += "Super+";
    return out + key;
}

std::optional<Shortcut> Shortcut::parse(const std::string& text) {
    Shortcut result;
    std::string_view rest(text);
    while (true) {
        const auto plus = rest.find('+');
        if (plus == std::string_view::npos) break;
        const std::string name = lower(rest.substr(0, plus));
        std::uint8_t bit = 0;
        if (name == "ctrl" || name == "control")
            bit = ctrl;
        else if (name == "alt")
            bit = alt;
        else if (name == "shift")
            bit = shift;
        else if (name == "super" || name == "meta")
            bit = super;
        if (bit == 0 || (result.modifiers & bit)) return std::nullopt;
        result.modifiers |= bit;
        rest.remove_prefix(plus + 1);
    }
    result.key = canonicalKey(rest);
    if (result.key.empty()) return std::nullopt;
    if (typesText(result.key) && !(result.modifiers & (ctrl | alt | super))) return std::nullopt;
    return result;
}

} // namespace lc
