#include "platform/dbus/SystemDesktopActions.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
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

class SystemDesktopActions final : public DesktopActions {
public:
    explicit SystemDesktopActions(DesktopActionsOptions o) : o_(std::move(o)) {
        if (!o_.connect) o_.connect = [] { return QDBusConnection::sessionBus(); };
        if (!o_.launch)
            o_.launch = [](const QString& program, const QStringList& arguments) {
                return QProcess::startDetached(program, arguments);
            };
    }

    void openFolder(const QString& path) override {
        askFileManager(QStringLiteral("ShowFolders"), path, path);
    }

    void revealFile(const QString& path) override {
        const QFileInfo info(path);
        askFileManager(QStringLiteral("ShowItems"), path, info.isDir() ? path : info.absolutePath());
    }

    bool openSettings(const QString& anchor) override {
        if (anchor != QLatin1String("Privacy_Microphone")) return false;
        const auto command = soundSettingsCommand();
        if (!command) return false;
        return o_.launch(command->front(), command->mid(1));
    }

    bool hasSettings(const QString& anchor) override {
        return anchor == QLatin1String("Privacy_Microphone") && soundSettingsCommand().has_value();
    }

private:
    // Asks the file manager to show `path` ("ShowFolders": its content, "ShowItems": selected in
    // its folder); the bus starts one that is installed but not running. Without an answer in
    // time (none on the bus, an error, a hang) xdg-open shows `fallback` instead.
    void askFileManager(const QString& method, const QString& path, const QString& fallback) {
        QDBusConnection bus = o_.connect();
        if (!bus.isConnected()) {
            o_.launch(QStringLiteral("xdg-open"), {fallback});
            return;
        }
        QDBusMessage call = QDBusMessage::createMethodCall(
            kFileManager, QStringLiteral("/org/freedesktop/FileManager1"), kFileManager, method);
        // URIs, so a name with spaces goes percent-encoded.
        call << QStringList{QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)} << QString();
        auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, int(o_.answerTimeout.count())));
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                         [launch = o_.launch, fallback](QDBusPendingCallWatcher* w) {
                             if (w->isError()) launch(QStringLiteral("xdg-open"), {fallback});
                             w->deleteLater();
                         });
    }

    DesktopActionsOptions o_;
};

} // namespace

std::shared_ptr<DesktopActions> systemDesktopActions(DesktopActionsOptions options) {
    return std::make_shared<SystemDesktopActions>(std::move(options));
}

} // namespace lc::dbus
