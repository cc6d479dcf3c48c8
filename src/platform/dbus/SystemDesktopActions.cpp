#include "platform/dbus/SystemDesktopActions.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>

namespace lc::dbus {

namespace {

const QString kFileManager = QStringLiteral("org.freedesktop.FileManager1");

// Sound settings programs, the first installed one wins.
const QList<QStringList>& soundSettings() {
    static const QList<QStringList> programs{
        {QStringLiteral("pavucontrol")},
        {QStringLiteral("gnome-control-center"), QStringLiteral("sound")},
        {QStringLiteral("systemsettings"), QStringLiteral("kcm_pulseaudio")},
    };
    return programs;
}

std::optional<QStringList> soundSettingsCommand() {
    for (const QStringList& p : soundSettings()) {
        if (!QStandardPaths::findExecutable(p.front()).isEmpty()) return p;
    }
    return std::nullopt;
}

// Asks the file manager to show `path` ("ShowFolders": its content, "ShowItems": selected in
// its folder). False when there is no file manager on the bus.
bool askFileManager(const QString& method, const QString& path) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(kFileManager))
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        kFileManager, QStringLiteral("/org/freedesktop/FileManager1"), kFileManager, method);
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    return bus.send(call);
}

class SystemDesktopActions final : public DesktopActions {
public:
    void openFolder(const QString& path) override {
        if (askFileManager(QStringLiteral("ShowFolders"), path)) return;
        QProcess::startDetached(QStringLiteral("xdg-open"), {path});
    }

    void revealFile(const QString& path) override {
        if (askFileManager(QStringLiteral("ShowItems"), path)) return;
        const QFileInfo info(path);
        QProcess::startDetached(QStringLiteral("xdg-open"), {info.isDir() ? path : info.absolutePath()});
    }

    bool openSettings(const QString& anchor) override {
        if (anchor != QLatin1String("Privacy_Microphone")) return false;
        const auto command = soundSettingsCommand();
        if (!command) return false;
        return QProcess::startDetached(command->front(), command->mid(1));
    }

    bool hasSettings(const QString& anchor) override {
        return anchor == QLatin1String("Privacy_Microphone") && soundSettingsCommand().has_value();
    }
};

} // namespace

std::shared_ptr<DesktopActions> systemDesktopActions() {
    return std::make_shared<SystemDesktopActions>();
}

} // namespace lc::dbus
