#include "app/autostart/LoginItem.h"

#include "model/app/AppModel.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <memory>

namespace lc {
namespace {

constexpr const char* kEntryName = "org.loomcast.Loomcast.desktop";

// Quoting of an Exec argument (desktop entry rules): reserved characters inside double quotes,
// with ", `, $ and \ escaped by a backslash.
QString quoteArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`=%");
    bool needs = argument.isEmpty();
    for (QChar c : argument)
        needs = needs || reserved.contains(c);
    if (!needs) return argument;
    QString out = QStringLiteral("\"");
    for (QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') out += u'\\';
        out += c;
    }
    return out + u'"';
}

// The program an entry's Exec line starts (first argument, quotes undone).
QString execProgram(const QByteArray& entry) {
    for (const QByteArray& raw : entry.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (!line.startsWith(QLatin1String("Exec="))) continue;
        const QString exec = line.mid(5);
        if (!exec.startsWith(u'"')) return exec.section(u' ', 0, 0);
        QString program;
        for (qsizetype i = 1; i < exec.size(); ++i) {
            if (exec[i] == u'\\' && i + 1 < exec.size()) {
                program += exec[++i];
            } else if (exec[i] == u'"') {
                break;
            } else {
                program += exec[i];
            }
        }
        return program;
    }
    return {};
}

// Desktop entry values escape backslashes once more; the Exec line also doubles "%".
QString escapeValue(QString value) {
    return value.replace(u'\\', QStringLiteral("\\\\")).replace(u'%', QStringLiteral("%%"));
}

} // namespace

LoginItem::LoginItem(QString entryPath, QString executable)
    : entryPath_(std::move(entryPath)), executable_(std::move(executable)) {}

LoginItem LoginItem::forThisUser() {
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return LoginItem(QDir(config).filePath(QStringLiteral("autostart/") + kEntryName),
                     QCoreApplication::applicationFilePath());
}

bool LoginItem::isEnabled() const {
    return QFileInfo(entryPath_).isFile();
}

QByteArray LoginItem::entryText() const {
    const QString exec = escapeValue(quoteArgument(executable_)) + u' ' + QLatin1String(kBackgroundOption);
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Loomcast\n"
                          "Comment=Start Loomcast in the tray when you log in\n"
                          "Icon=org.loomcast.Loomcast\n"
                          "Exec=%1\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(exec)
        .toUtf8();
}

bool LoginItem::isStale() const {
    QFile file(entryPath_);
    if (!file.open(QIODevice::ReadOnly)) return false;
    QString program = execProgram(file.read(64 * 1024));
    program.replace(QStringLiteral("%%"), QStringLiteral("%"));
    return !program.isEmpty() && !QFileInfo(program).isExecutable();
}

Result<void> LoginItem::setEnabled(bool on) {
    if (!on) {
        if (!QFileInfo::exists(entryPath_) && !QFileInfo(entryPath_).isSymLink()) return {};
        QFile file(entryPath_);
        if (!file.remove())
            return makeError(
                QStringLiteral("Could not remove %1: %2").arg(entryPath_, file.errorString()).toStdString());
        return {};
    }
    if (!QDir().mkpath(QFileInfo(entryPath_).absolutePath()))
        return makeError(
            QStringLiteral("Could not create %1.").arg(QFileInfo(entryPath_).absolutePath()).toStdString());
    QSaveFile file(entryPath_);
    const QByteArray text = entryText();
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return makeError(
            QStringLiteral("Could not write %1: %2").arg(entryPath_, file.errorString()).toStdString());
    return {};
}

void followStartAtLogin(AppModel& model, LoginItem item) {
    auto shared = std::make_shared<LoginItem>(std::move(item));
    if (shared->isEnabled() && shared->isStale()) (void)shared->setEnabled(true);
    Settings& settings = model.settings();
    settings.setStartAtLogin(shared->isEnabled());
    QObject::connect(&settings, &Settings::startAtLoginChanged, &model, [&model, &settings, shared](bool on) {
        if (shared->isEnabled() == on) return;
        auto result = shared->setEnabled(on);
        if (result) return;
        model.setNotice(QString::fromStdString(result.error().message));
        settings.setStartAtLogin(shared->isEnabled()); // back to what is really there
    });
}

} // namespace lc
