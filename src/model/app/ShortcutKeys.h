#pragma once
// The global shortcuts of the saved settings, bound through the platform's GlobalShortcuts:
// bound at creation and again whenever the settings change them. What a binding could not take
// ("Ctrl+Alt+R is used by another program") is kept per action for the settings to show.
// Main thread only; presses come from the platform on the same thread.
#include "model/app/Settings.h"
#include "platform/GlobalShortcuts.h"

#include <QObject>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace lc {

class ShortcutKeys : public QObject {
    Q_OBJECT
public:
    // `keys` may be null (no back end): every action then reports that shortcuts are unavailable.
    // `settings` must outlive this object.
    ShortcutKeys(std::shared_ptr<GlobalShortcuts> keys, Settings& settings,
                 std::function<void(ShortcutAction)> onPress, QObject* parent = nullptr);
    ~ShortcutKeys() override;

    // The combination's text as saved ("" = off).
    QString text(ShortcutAction action) const;
    // Why the action's combination is not in force; nullopt when it is, or when it is off.
    std::optional<QString> error(ShortcutAction action) const;
    bool available() const { return keys_ != nullptr; }

    // Binds both actions to the saved combinations again.
    void rebind();
    // While the user types a new combination, none is held: the old one would otherwise be
    // taken away from the field that listens for it. Ending the suspension binds again.
    void setSuspended(bool on);
    bool suspended() const { return suspended_; }

signals:
    void errorsChanged();

private:
    std::shared_ptr<GlobalShortcuts> keys_;
    Settings& settings_;
    std::map<ShortcutAction, QString> errors_;
    bool suspended_ = false;
};

// How an action is named to the user.
QString shortcutActionName(ShortcutAction action);

} // namespace lc
