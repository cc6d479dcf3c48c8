#include "model/app/DesktopActions.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>

namespace lc {

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

class SystemDesktopActions final : public DesktopActions {
public:
    void openFolder(const QString& path) override {
        const QString uri = QUrl::fromLocalFile(path).toString();
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered(kFileManager)) {
            QDBusMessage call =
                QDBusMessage::createMethodCall(kFileManager, QStringLiteral("/org/freedesktop/FileManager1"),
                                               kFileManager, QStringLiteral("ShowFolders"));
            call << QStringList{uri} << QString();
            if (bus.send(call)) return;
        }
        QProcess::startDetached(QStringLiteral("xdg-open"), {path});
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

} // namespace lc
