#pragma once
// "Start Loomcast when I log in": an XDG autostart entry that starts the application to the
// tray, written when the setting is switched on and removed when it is switched off. The entry
// is the truth (the desktop's own session settings may remove it); the model's startAtLogin
// mirrors it. Main thread; small synchronous file operations.
#include "common/Result.h"

#include <QString>

namespace lc {

class AppModel;

// Added to the command line of the autostart entry: start to the tray, without the window.
inline constexpr const char* kBackgroundOption = "--background";

class LoginItem {
public:
    // `entryPath`: the autostart file; `executable`: what it starts.
    LoginItem(QString entryPath, QString executable);
    // $XDG_CONFIG_HOME/autostart/org.loomcast.Loomcast.desktop starting this executable.
    static LoginItem forThisUser();

    const QString& entryPath() const { return entryPath_; }
    bool isEnabled() const;
    // Writes the entry atomically, or removes it; one line on failure, nothing half-written.
    Result<void> setEnabled(bool on);
    // The entry's text.
    QByteArray entryText() const;
    // True when the entry exists but starts a program that is no longer there (a moved
    // portable folder): rewriting it points it at this executable again.
    bool isStale() const;

private:
    QString entryPath_;
    QString executable_;
};

// Keeps the model's startAtLogin and the entry in step: at once (the entry wins, and a stale
// entry is pointed at this executable), then every switch writes or removes it. A failure
// puts the switch back and says why in the model's notice.
void followStartAtLogin(AppModel& model, LoginItem item);

} // namespace lc
