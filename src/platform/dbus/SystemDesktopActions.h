#pragma once
// The desktop's own file manager (org.freedesktop.FileManager1 on the session bus, else
// xdg-open) and its sound settings program, for the model's DesktopActions. Main thread; the
// file manager is asked asynchronously, so a missing or hung one never holds up the window.
#include "platform/DesktopActions.h"

#include <QDBusConnection>
#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>

namespace lc::dbus {

struct DesktopActionsOptions {
    // The bus the file manager is on (the session bus when empty).
    std::function<QDBusConnection()> connect;
    // Starts a program detached (QProcess::startDetached when empty).
    std::function<bool(const QString& program, const QStringList& arguments)> launch;
    // How long the file manager may take to answer before xdg-open is used instead.
    std::chrono::milliseconds answerTimeout{3000};
};

std::shared_ptr<DesktopActions> systemDesktopActions(DesktopActionsOptions options = {});

} // namespace lc::dbus
