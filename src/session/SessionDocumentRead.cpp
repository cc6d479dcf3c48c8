// Reading session.json back: the strict decoder the export relies on.
#include "session/SessionDocument.h"

#include "model/JsonRead.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace lc {
namespace {

// A session.json is a few kilobytes; anything near this is not one and is not read whole.
constexpr qint64 maxDocumentBytes = 32 * 1024 * 1024;

// Field-by-field decoding of one object, remembering the first failure with its path.
class Reader {
public:
    Reader(const QJsonObject& o, QString where, std::optional<Error>& failure)
        : o_(o), where_(std::move(where)), failure_(failure) {}

    QString string(const char* key) { return take<QString>(key, json::string, "a string"); }
    bool boolean(const char* key) { return take<bool>(key, json::boolean, "true or false"); }
    qint64 integer(const char* key) { return take<qint64>(key, json::integer, "a whole number"); }
    double number(const char* key) { return take<double>(key, readNumber, "a number"); }
    std::optional<double> optionalNumber(const char* key) {
        return optional<double>(key, readNumber, "a number");
    }
    std::optional<QString> optionalString(const char* key) {
        return optional<QString>(key, json::string, "a string");
    }
    // The object under `key`, or nothing (with a failure) when it is missing or not an object.
    std::optional<QJsonObject> object(const char* key, bool nullable) {
        const QJsonValue v = o_.value(QLatin1String(key));
        if (nullable && (v.isUndefined() || v.isNull())) return std::nullopt;
        if (v.isUndefined()) return fail(key, "is missing"), std::nullopt;
        if (!v.isObject()) return fail(key, "must be an object"), std::nullopt;
        return v.toObject();
    }
    std::optional<QJsonArray> array(const char* key) {
        const QJsonValue v = o_.value(QLatin1String(key));
        if (v.isUndefined()) return fail(key, "is missing"), std::nullopt;
        if (!v.isArray()) return fail(key, "must be a list"), std::nullopt;
        return v.toArray();
    }
    QString path(const char* key) const {
        return where_.isEmpty() ? QString::fromLatin1(key) : where_ + "." + key;
    }
    bool failed() const { return failure_.has_value(); }

private:
    static std::optional<double> readNumber(const QJsonValue& v) {
        if (!v.isDouble()) return std::nullopt;
        return v.toDouble();
    }
    template <class T, class Read> T take(const char* key, Read read, const char* kind) {
        const QJsonValue v = o_.value(QLatin1String(key));
        if (v.isUndefined()) return fail(key, "is missing"), T{};
        const std::optional<T> r = read(v);
        if (!r) return fail(key, QStringLiteral("must be %1").arg(QLatin1String(kind))), T{};
        return *r;
    }
    template <class T, class Read> std::optional<T> optional(const char* key, Read read, const char* kind) {
        const QJsonValue v = o_.value(QLatin1String(key));
        if (v.isUndefined() || v.isNull()) return std::nullopt;
        const std::optional<T> r = read(v);
        if (!r) fail(key, QStringLiteral("must be %1").arg(QLatin1String(kind)));
        return r;
    }
    void fail(const char* key, const QString& what) {
        if (!failure_)
            failure_ =
                makeError(QStringLiteral("session.json: \"%1\" %2").arg(path(key), what).toStdString());
    }

    QJsonObject o_;
    QString where_;
    std::optional<Error>& failure_;
};

FinalPreset readPreset(const QJsonObject& o, const QString& where, std::optional<Error>& failure) {
    Reader r(o, where, failure);
    FinalPreset p;
    p.name = r.string("name");
    p.width = r.integer("width");
    p.height = r.integer("height");
    return p;
}

SessionRecording readRecording(const QJsonObject& o, const QString& where, std::optional<Error>& failure) {
    Reader r(o, where, failure);
    SessionRecording rec;
    rec.file = r.string("file");
    rec.app = r.string("app");
    rec.windowTitle = r.string("windowTitle");
    rec.preset = r.string("preset");
    rec.width = r.integer("width");
    rec.height = r.integer("height");
    const qint64 fps = r.integer("fps");
    if (!r.failed() && (fps < std::numeric_limits<int>::min() || fps > std::numeric_limits<int>::max()))
        failure = makeError(
            QStringLiteral("session.json: \"%1\" is out of range").arg(r.path("fps")).toStdString());
    rec.fps = int(fps);
    rec.startOffset = r.number("startOffset");
    rec.duration = r.optionalNumber("duration");
    rec.hasAppAudio = r.boolean("hasAppAudio");
    rec.hasMicTrack = r.boolean("hasMicTrack");
    rec.startTimecode = r.string("startTimecode");
    rec.warning = r.optionalString("warning");
    return rec;
}

SessionMic readMic(const QJsonObject& o, std::optional<Error>& failure) {
    Reader r(o, QStringLiteral("mic"), failure);
    SessionMic mic;
    mic.file = r.string("file");
    mic.device = r.string("device");
    mic.startOffset = r.number("startOffset");
    mic.duration = r.optionalNumber("duration");
    mic.startTimecode = r.string("startTimecode");
    return mic;
}

FocusSwitch readFocus(const QJsonObject& o, const QString& where, std::optional<Error>& failure) {
    Reader r(o, where, failure);
    FocusSwitch f;
    f.t = r.number("t");
    f.file = r.string("file");
    f.windowTitle = r.string("windowTitle");
    return f;
}

SessionPause readPause(const QJsonObject& o, const QString& where, std::optional<Error>& failure) {
    Reader r(o, where, failure);
    SessionPause p;
    p.at = r.number("at");
    p.length = r.number("length");
    return p;
}

template <class T, class Read>
std::vector<T> readList(const QJsonArray& list, const char* key, std::optional<Error>& failure, Read read) {
    std::vector<T> out;
    for (qsizetype i = 0; i < list.size() && !failure; ++i) {
        const QString where = QStringLiteral("%1[%2]").arg(QLatin1String(key)).arg(i);
        if (!list[i].isObject()) {
            failure =
                makeError(QStringLiteral("session.json: \"%1\" must be an object").arg(where).toStdString());
            break;
        }
        out.push_back(read(list[i].toObject(), where, failure));
    }
    return out;
}

} // namespace

Result<SessionDocument> SessionDocument::decode(const QByteArray& json) {
    QJsonParseError parse{};
    const QJsonDocument d = QJsonDocument::fromJson(json, &parse);
    if (parse.error != QJsonParseError::NoError)
        return makeError(QStringLiteral("session.json is not valid JSON: %1 at offset %2")
                             .arg(parse.errorString())
                             .arg(parse.offset)
                             .toStdString());
    if (!d.isObject()) return makeError("session.json is not valid JSON: the top level is not an object");

    std::optional<Error> failure;
    Reader top(d.object(), QString(), failure);
    SessionDocument doc;
    doc.container = top.optionalString("container");
    if (const auto list = top.array("recordings"))
        doc.recordings = readList<SessionRecording>(*list, "recordings", failure, readRecording);
    if (const auto mic = top.object("mic", true)) doc.mic = readMic(*mic, failure);
    if (const auto list = top.array("focus"))
        doc.focus = readList<FocusSwitch>(*list, "focus", failure, readFocus);
    // Files written before pausing existed have no list.
    if (d.object().contains(QLatin1String("pauses"))) {
        if (const auto list = top.array("pauses"))
            doc.pauses = readList<SessionPause>(*list, "pauses", failure, readPause);
    }
    if (const auto fin = top.object("final", false)) {
        Reader r(*fin, QStringLiteral("final"), failure);
        if (const auto preset = r.object("preset", false))
            doc.finalSettings.preset = readPreset(*preset, QStringLiteral("final.preset"), failure);
        doc.finalSettings.transition = r.string("transition");
        doc.finalSettings.transitionDuration = r.number("transitionDuration");
    }
    if (failure) return *failure;
    return doc;
}

Result<SessionDocument> SessionDocument::read(const QString& folder) {
    const QString path = QDir(folder).filePath(QStringLiteral("session.json"));
    // A pipe or device would block or never end: only a regular file is read.
    if (const QFileInfo info(path); info.exists() && !info.isFile())
        return makeError("Cannot read session.json: it is not a regular file");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return makeError(
            QStringLiteral("Cannot read session.json: %1").arg(file.errorString()).toStdString());
    if (file.size() > maxDocumentBytes)
        return makeError("Cannot read session.json: the file is far too large");
    const QByteArray bytes = file.read(maxDocumentBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return makeError(
            QStringLiteral("Cannot read session.json: %1").arg(file.errorString()).toStdString());
    if (bytes.size() > maxDocumentBytes)
        return makeError("Cannot read session.json: the file is far too large");
    return decode(bytes);
}

bool isPlainFileName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

Result<void> checkFileNames(const SessionDocument& doc) {
    auto refuse = [](const QString& name) {
        return makeError(QStringLiteral("Refusing file name \"%1\" in session.json: files must lie directly "
                                        "inside the session folder")
                             .arg(name)
                             .toStdString());
    };
    for (const SessionRecording& r : doc.recordings)
        if (!isPlainFileName(r.file)) return refuse(r.file);
    if (doc.mic && !isPlainFileName(doc.mic->file)) return refuse(doc.mic->file);
    return {};
}

} // namespace lc
