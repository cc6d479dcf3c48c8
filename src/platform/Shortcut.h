#pragma once
// A key combination as the user writes it: modifiers and one key, "Ctrl+Alt+R". The text form is
// what the saved state holds; back ends map the key name to their own key codes.
#include <cstdint>
#include <optional>
#include <string>

namespace lc {

struct Shortcut {
    enum Modifier : std::uint8_t { ctrl = 1, alt = 2, shift = 4, super = 8 };
    std::uint8_t modifiers = 0;
    // Upper-case letter or digit ("R", "7"), a function key ("F9"), or one of "Space", "Print",
    // "Pause", "Insert", "Delete", "Home", "End", "PageUp", "PageDown".
    std::string key;

    // "Ctrl+Alt+Shift+Super+Key" with the modifiers in that order.
    std::string text() const;
    // Reads the text form (modifier names in any order and case; "Control" and "Meta" too).
    // Absent for anything else, and for a plain key that would take over ordinary typing
    // (a letter, digit or Space needs Ctrl, Alt or Super).
    static std::optional<Shortcut> parse(const std::string& text);

    friend bool operator==(const Shortcut&, const Shortcut&) = default;
};

} // namespace lc
