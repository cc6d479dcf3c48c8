#include "session/SessionFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

namespace lc::SessionFiles {

QString folderName(const QDateTime& date) {
    return date.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH-mm-ss"));
}

QString isoUtc(const QDateTime& date) {
    return date.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + u'Z';
}

QString cleanComponent(const QString& text) {
    QString s;
    s.reserve(text.size());
    for (QChar c : text) {
        const char16_t u = c.unicode();
        // Control characters other than the tab have no place in a file name.
        const bool control = (u < 0x20 && u != u'\t') || u == 0x7F;
        s.append(u == u'/' || u == u':' || u == u'\\' || control ? QChar(u'-') : c);
    }
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    qsizetype b = 0, e = s.size();
    while (b < e && blank(s[b]))
        ++b;
    while (e > b && blank(s[e - 1]))
        --e;
    s = s.mid(b, e - b);

    const QList<uint> chars = s.toUcs4();
    QString out;
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < chars.size() && i < kMaxComponentChars; ++i) {
        const QString one = QString::fromUcs4(reinterpret_cast<const char32_t*>(&chars[i]), 1);
        bytes += one.toUtf8().size();
        if (bytes > kMaxComponentBytes) break;
        out += one;
    }
    return out.isEmpty() ? QStringLiteral("Untitled") : out;
}

QString windowBase(const QString& appName, const QString& title, const Preset& preset) {
    return cleanComponent(appName) + QStringLiteral(" - ") + cleanComponent(title) + QStringLiteral(" (") +
           preset.fileLabel() + u')';
}

QString extensionFor(const QString& container) {
    return container == QLatin1String("mp4") ? QStringLiteral("mp4") : QStringLiteral("mov");
}

QString firstFreeName(const QString& base, const QString& extension,
                      const std::function<bool(const QString&)>& taken) {
    QString name = base + u'.' + extension;
    for (int n = 2; taken(name); ++n)
        name = base + u' ' + QString::number(n) + u'.' + extension;
    return name;
}

QString offsetName(const QString& file, const QString& suffix,
                   const std::function<bool(const QString&)>& taken) {
    const qsizetype dot = file.lastIndexOf(u'.');
    const QString stem = dot < 0 ? file : file.left(dot);
    const QString ext = dot < 0 ? QString() : file.mid(dot); // with its dot
    const QString head = stem + u' ' + suffix;
    QString name = head + ext;
    for (int n = 2; taken(name); ++n)
        name = head + u' ' + QString::number(n) + ext;
    return name;
}

std::optional<QString> renameWithOffset(const QString& folder, const QString& file, const QString& suffix) {
    const QDir dir(folder);
    if (!QFileInfo(dir.filePath(file)).isFile()) return std::nullopt;
    const QString target = offsetName(file, suffix, [&](const QString& name) {
        return QFileInfo::exists(dir.filePath(name)) || QFileInfo(dir.filePath(name)).isSymLink();
    });
    // QFile::rename never replaces an existing file.
    if (!QFile::rename(dir.filePath(file), dir.filePath(target))) return std::nullopt;
    return target;
}

} // namespace lc::SessionFiles
