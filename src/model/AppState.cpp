#include "model/AppState.h"

#include "model/JsonRead.h"
#include "platform/Shortcut.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <limits>

namespace lc {

Entry Entry::fromSaved(const SavedEntry& saved) {
    Entry e;
    e.bundleID = saved.bundleID;
    e.appName = saved.appName;
    e.title = saved.title;
    e.preset = Preset::canonical(saved.preset);
    e.appAudio = saved.appAudio;
    return e;
}

SavedEntry Entry::toSaved() const {
    return SavedEntry{bundleID, appName, title, preset, appAudio};
}

QJsonObject SavedEntry::toJson() const {
    return QJsonObject{{QStringLiteral("bundleID"), bundleID},
                       {QStringLiteral("appName"), appName},
                       {QStringLiteral("title"), title},
                       {QStringLiteral("preset"), preset.toJson()},
                       {QStringLiteral("appAudio"), appAudio}};
}

std::optional<SavedEntry> SavedEntry::fromJson(const QJsonValue& value) {
    if (!value.isObject()) return std::nullopt;
    const QJsonObject o = value.toObject();
    const auto bundleID = json::string(o.value(QLatin1String("bundleID")));
    const auto appName = json::string(o.value(QLatin1String("appName")));
    const auto title = json::string(o.value(QLatin1String("title")));
    const auto preset = Preset::fromJson(o.value(QLatin1String("preset")));
    const auto appAudio = json::optionalKey(o.value(QLatin1String("appAudio")), true, json::boolean);
    if (!bundleID || !appName || !title || !preset || !appAudio) return std::nullopt;
    return SavedEntry{*bundleID, *appName, *title, *preset, *appAudio};
}

QByteArray AppState::encode() const {
    QJsonArray list;
    for (const SavedEntry& e : entries)
        list.append(e.toJson());
    QJsonObject o{{QStringLiteral("entries"), list},
                  {QStringLiteral("lastPreset"), lastPreset.toJson()},
                  {QStringLiteral("fps"), fps},
                  {QStringLiteral("hevc"), hevc},
                  {QStringLiteral("lastAppAudio"), lastAppAudio},
                  {QStringLiteral("micEnabled"), micEnabled},
                  {QStringLiteral("micInEach"), micInEach},
                  {QStringLiteral("showOutline"), showOutline},
                  {QStringLiteral("outlineIdle"), outlineIdle},
                  {QStringLiteral("container"), container},
                  {QStringLiteral("shortcutStartStop"), shortcutStartStop},
                  {QStringLiteral("shortcutPauseResume"), shortcutPauseResume}};
    if (micDeviceID) o.insert(QStringLiteral("micDeviceID"), *micDeviceID);
    // Written only when on, so the file keeps its usual keys for everyone else.
    if (startAtLogin) o.insert(QStringLiteral("startAtLogin"), true);
    if (trayNoteShown) o.insert(QStringLiteral("trayNoteShown"), true);
    // QJsonObject keeps its keys in ascending order, which is the order the file wants.
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

std::optional<AppState> AppState::decode(const QByteArray& bytes) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) return std::nullopt;
    const QJsonObject o = doc.object();
    const AppState d;
    AppState s;

    const QJsonValue list = o.value(QLatin1String("entries"));
    if (!list.isUndefined() && !list.isNull()) {
        if (!list.isArray()) return std::nullopt;
        for (const QJsonValue& item : list.toArray()) {
            auto entry = SavedEntry::fromJson(item);
            if (!entry) return std::nullopt;
            s.entries.push_back(std::move(*entry));
        }
    }

    const QJsonValue last = o.value(QLatin1String("lastPreset"));
    if (!last.isUndefined() && !last.isNull()) {
        auto preset = Preset::fromJson(last);
        if (!preset) return std::nullopt;
        s.lastPreset = std::move(*preset);
    }

    const auto fps = json::optionalKey<qint64>(o.value(QLatin1String("fps")), d.fps, json::integer);
    if (!fps) return std::nullopt;
    // A frame rate below one would divide by zero in every recorder; such a value cannot come
    // from this program, so only that setting falls back and the rest of the file is kept.
    s.fps = (*fps >= 1 && *fps <= std::numeric_limits<int>::max()) ? int(*fps) : d.fps;

    struct Flag {
        const char* key;
        bool AppState::*field;
    };
    static constexpr Flag flags[] = {
        {"hevc", &AppState::hevc},
        {"lastAppAudio", &AppState::lastAppAudio},
        {"micEnabled", &AppState::micEnabled},
        {"micInEach", &AppState::micInEach},
        {"showOutline", &AppState::showOutline},
        {"outlineIdle", &AppState::outlineIdle},
        {"startAtLogin", &AppState::startAtLogin},
        {"trayNoteShown", &AppState::trayNoteShown},
    };
    for (const Flag& f : flags) {
        const auto v = json::optionalKey(o.value(QLatin1String(f.key)), d.*f.field, json::boolean);
        if (!v) return std::nullopt;
        s.*f.field = *v;
    }

    const QJsonValue mic = o.value(QLatin1String("micDeviceID"));
    if (!mic.isUndefined() && !mic.isNull()) {
        auto id = json::string(mic);
        if (!id) return std::nullopt;
        s.micDeviceID = std::move(*id);
    }

    auto container = json::optionalKey(o.value(QLatin1String("container")), d.container, json::string);
    if (!container) return std::nullopt;
    s.container = std::move(*container);

    // Written by hand or by a newer version: a combination we cannot read is off, not the default,
    // so a key the user meant to free is never grabbed behind their back.
    for (auto [key, field] : {std::pair{"shortcutStartStop", &AppState::shortcutStartStop},
                              std::pair{"shortcutPauseResume", &AppState::shortcutPauseResume}}) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined()) continue;
        const auto combo = v.isString() ? Shortcut::parse(v.toString().toStdString()) : std::nullopt;
        s.*field = combo ? QString::fromStdString(combo->text()) : QString();
    }
    return s;
}

} // namespace lc
