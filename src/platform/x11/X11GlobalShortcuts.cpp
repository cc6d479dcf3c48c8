#include "platform/x11/X11GlobalShortcuts.h"

#include <QTimer>
#include <array>
#include <utility>

namespace lc::x11 {

namespace {

// X keysym values of the keys a shortcut may name.
std::optional<xcb_keysym_t> keysymOf(const std::string& key) {
    if (key.size() == 1) {
        const char c = key[0];
        if (c >= 'A' && c <= 'Z') return static_cast<xcb_keysym_t>(c - 'A' + 'a');
        if (c >= '0' && c <= '9') return static_cast<xcb_keysym_t>(c);
        return std::nullopt;
    }
    if (key[0] == 'F' && key.size() <= 3 && key[1] >= '1' && key[1] <= '9')
        return 0xffbe + std::stoi(key.substr(1)) - 1;
    static const std::array<std::pair<const char*, xcb_keysym_t>, 9> named = {{{"Space", 0x20},
                                                                               {"Print", 0xff61},
                                                                               {"Pause", 0xff13},
                                                                               {"Insert", 0xff63},
                                                                               {"Delete", 0xffff},
                                                                               {"Home", 0xff50},
                                                                               {"End", 0xff57},
                                                                               {"PageUp", 0xff55},
                                                                               {"PageDown", 0xff56}}};
    for (const auto& [name, sym] : named)
        if (key == name) return sym;
    return std::nullopt;
}

constexpr xcb_keysym_t kNumLock = 0xff7f;

std::optional<xcb_keycode_t> keycodeOf(xcb_connection_t* c, xcb_keysym_t wanted) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    Owned<xcb_get_keyboard_mapping_reply_t> map(xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, setup->min_keycode, static_cast<std::uint8_t>(count)), nullptr));
    if (!map) return std::nullopt;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
    const int perCode = map->keysyms_per_keycode;
    // Letters are listed lower-case first, upper-case second; either names the key.
    const xcb_keysym_t upper = (wanted >= 'a' && wanted <= 'z') ? wanted - 'a' + 'A' : wanted;
    for (int code = 0; code < count; ++code)
        for (int i = 0; i < perCode; ++i) {
            const xcb_keysym_t sym = syms[code * perCode + i];
            if (sym == wanted || sym == upper) return static_cast<xcb_keycode_t>(setup->min_keycode + code);
        }
    return std::nullopt;
}

std::uint16_t modifierMaskOf(xcb_connection_t* c, xcb_keycode_t keycode) {
    Owned<xcb_get_modifier_mapping_reply_t> map(
        xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr));
    if (!map) return 0;
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(map.get());
    const int perModifier = map->keycodes_per_modifier;
    for (int mod = 0; mod < 8; ++mod)
        for (int i = 0; i < perModifier; ++i)
            if (codes[mod * perModifier + i] == keycode) return static_cast<std::uint16_t>(1u << mod);
    return 0;
}

std::uint16_t xModifiers(std::uint8_t modifiers) {
    std::uint16_t mask = 0;
    if (modifiers & Shortcut::ctrl) mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & Shortcut::alt) mask |= XCB_MOD_MASK_1;
    if (modifiers & Shortcut::shift) mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & Shortcut::super) mask |= XCB_MOD_MASK_4;
    return mask;
}

constexpr std::uint16_t kBoundModifiers =
    XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4;

} // namespace

Result<std::unique_ptr<X11GlobalShortcuts>> X11GlobalShortcuts::connect(const std::string& display) {
    Connection connection(display);
    if (!connection.ok()) return makeError("Cannot connect to the X display for shortcuts");
    return std::make_unique<X11GlobalShortcuts>(std::move(connection));
}

X11GlobalShortcuts::X11GlobalShortcuts(Connection connection) : connection_(std::move(connection)) {
    xcb_connection_t* c = connection_.get();
    if (auto code = keycodeOf(c, kNumLock)) numLockMask_ = modifierMaskOf(c, *code);
    notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { drainEvents(); });
}

X11GlobalShortcuts::~X11GlobalShortcuts() {
    notifier_.reset();
    while (!grabs_.empty())
        release(grabs_.begin()->first);
    xcb_flush(connection_.get());
}

std::vector<std::uint16_t> X11GlobalShortcuts::lockVariants() const {
    std::vector<std::uint16_t> variants = {0, XCB_MOD_MASK_LOCK};
    if (numLockMask_) {
        variants.push_back(numLockMask_);
        variants.push_back(static_cast<std::uint16_t>(numLockMask_ | XCB_MOD_MASK_LOCK));
    }
    return variants;
}

void X11GlobalShortcuts::release(ShortcutAction action) {
    const auto it = grabs_.find(action);
    if (it == grabs_.end()) return;
    for (std::uint16_t lock : lockVariants())
        xcb_ungrab_key(connection_.get(), it->second.keycode, connection_.root(),
                       static_cast<std::uint16_t>(it->second.modifiers | lock));
    grabs_.erase(it);
}

Result<void> X11GlobalShortcuts::bind(ShortcutAction action, const std::optional<Shortcut>& combo) {
    release(action);
    xcb_connection_t* c = connection_.get();
    // Replies read below may leave events in xcb's own queue, which the notifier never sees.
    QTimer::singleShot(0, notifier_.get(), [this] { drainEvents(); });
    if (!combo) {
        xcb_flush(c);
        return {};
    }
    const std::string name = combo->text();
    for (const auto& [other, grab] : grabs_)
        if (grab.combo == *combo) return makeError(name + " is already used for another shortcut");
    const auto sym = keysymOf(combo->key);
    const auto keycode = sym ? keycodeOf(c, *sym) : std::nullopt;
    if (!keycode) return makeError(name + " has no key on this keyboard");

    const std::uint16_t modifiers = xModifiers(combo->modifiers);
    std::vector<xcb_void_cookie_t> cookies;
    for (std::uint16_t lock : lockVariants())
        cookies.push_back(xcb_grab_key_checked(c, 1, connection_.root(),
                                               static_cast<std::uint16_t>(modifiers | lock), *keycode,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    bool taken = false;
    for (auto cookie : cookies)
        if (Owned<xcb_generic_error_t> error{xcb_request_check(c, cookie)}) taken = true;
    grabs_[action] = Grab{*combo, *keycode, modifiers};
    if (taken) {
        // Never half a shortcut: a grab that works only with Caps Lock on would confuse.
        release(action);
        xcb_flush(c);
        return makeError(name + " is used by another program");
    }
    return {};
}

void X11GlobalShortcuts::setHandler(std::function<void(ShortcutAction)> handler) {
    handler_ = std::move(handler);
}

void X11GlobalShortcuts::drainEvents() {
    xcb_connection_t* c = connection_.get();
    while (Owned<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
        const auto type = event->response_type & 0x7f;
        if (type == XCB_KEY_RELEASE) {
            const auto* release = reinterpret_cast<const xcb_key_release_event_t*>(event.get());
            lastRelease_[release->detail] = release->time;
            continue;
        }
        if (type != XCB_KEY_PRESS) continue;
        const auto* press = reinterpret_cast<const xcb_key_press_event_t*>(event.get());
        if (const auto it = lastRelease_.find(press->detail);
            it != lastRelease_.end() && it->second == press->time)
            continue; // auto-repeat of a held key
        const std::uint16_t modifiers = press->state & kBoundModifiers;
        std::optional<ShortcutAction> pressed;
        for (const auto& [action, grab] : grabs_)
            if (grab.keycode == press->detail && grab.modifiers == modifiers) pressed = action;
        if (pressed && handler_) handler_(*pressed);
    }
    if (xcb_connection_has_error(c) && notifier_) notifier_->setEnabled(false);
}

} // namespace lc::x11
