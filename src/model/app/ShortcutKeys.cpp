#include "model/app/ShortcutKeys.h"

namespace lc {

QString shortcutActionName(ShortcutAction action) {
    return action == ShortcutAction::startStop ? QStringLiteral("Start or stop recording")
                                               : QStringLiteral("Pause or resume recording");
}

ShortcutKeys::ShortcutKeys(std::shared_ptr<GlobalShortcuts> keys, Settings& settings,
                           std::function<void(ShortcutAction)> onPress, QObject* parent)
    : QObject(parent), keys_(std::move(keys)), settings_(settings) {
    if (keys_) keys_->setHandler(std::move(onPress));
    connect(&settings_, &Settings::shortcutsChanged, this, &ShortcutKeys::rebind);
    rebind();
}

ShortcutKeys::~ShortcutKeys() {
    // The handler refers to the model, which goes with this object; the back end may live on.
    if (keys_) keys_->setHandler(nullptr);
}

QString ShortcutKeys::text(ShortcutAction action) const {
    return action == ShortcutAction::startStop ? settings_.shortcutStartStop()
                                               : settings_.shortcutPauseResume();
}

std::optional<QString> ShortcutKeys::error(ShortcutAction action) const {
    const auto it = errors_.find(action);
    if (it == errors_.end()) return std::nullopt;
    return it->second;
}

void ShortcutKeys::setSuspended(bool on) {
    if (suspended_ == on) return;
    suspended_ = on;
    if (on && keys_) {
        for (const ShortcutAction action : {ShortcutAction::startStop, ShortcutAction::pauseResume})
            (void)keys_->bind(action, std::nullopt); // releasing cannot fail
        return;
    }
    rebind();
}

void ShortcutKeys::rebind() {
    if (suspended_) return;
    std::map<ShortcutAction, QString> errors;
    std::optional<Shortcut> held; // what start/stop holds, which pause/resume cannot share
    for (const ShortcutAction action : {ShortcutAction::startStop, ShortcutAction::pauseResume}) {
        const QString saved = text(action).trimmed();
        std::optional<Shortcut> combo;
        if (!saved.isEmpty()) {
            combo = Shortcut::parse(saved.toStdString());
            if (!combo) errors[action] = saved + QStringLiteral(" is not a key combination");
        }
        if (combo && held && *combo == *held) {
            errors[action] =
                QString::fromStdString(combo->text()) + QStringLiteral(" already starts and stops recording");
            combo.reset();
        }
        if (!keys_) {
            if (combo) errors[action] = QStringLiteral("Global shortcuts are not available on this desktop");
            continue;
        }
        if (const Result<void> bound = keys_->bind(action, combo); !bound.ok()) {
            errors[action] = QString::fromStdString(bound.error().message);
            combo.reset();
        }
        if (action == ShortcutAction::startStop) held = combo;
    }
    if (errors == errors_) return;
    errors_ = std::move(errors);
    emit errorsChanged();
}

} // namespace lc
