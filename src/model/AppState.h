#pragma once
// The values that describe what the user wants recorded and that survive a restart.
#include "model/Preset.h"

#include <QByteArray>
#include <QString>
#include <QUuid>
#include <cstdint>
#include <optional>
#include <vector>

namespace lc {

struct SavedEntry;

// One window chosen for recording, as the model holds it while the application runs.
struct Entry {
    QUuid id = QUuid::createUuid(); // never persisted
    QString bundleID;
    QString appName;
    QString title;
    Preset preset = Preset::defaultPreset();
    bool appAudio = true;
    std::optional<std::uint32_t> windowID; // absent while unlinked
    std::optional<QString> warning;
    std::optional<QString> info;
    std::optional<QString> note;
    bool isRecording = false;
    std::optional<QString> file;
    std::optional<QString> failure;
    std::optional<QString> sound; // the recording goes on without (some of) its sound: why

    // A fresh id, the canonical preset, nothing linked or recorded.
    static Entry fromSaved(const SavedEntry& saved);
    SavedEntry toSaved() const;

    friend bool operator==(const Entry&, const Entry&) = default;
};

// The persisted part of an Entry.
struct SavedEntry {
    QString bundleID;
    QString appName;
    QString title;
    Preset preset;
    bool appAudio = true;

    QJsonObject toJson() const;
    // "appAudio" may be missing (true); the other four keys are required.
    static std::optional<SavedEntry> fromJson(const QJsonValue& value);

    friend bool operator==(const SavedEntry&, const SavedEntry&) = default;
};

// Everything saved between launches. Every key is optional on reading.
struct AppState {
    std::vector<SavedEntry> entries;
    Preset lastPreset = Preset::defaultPreset();
    int fps = 30;
    bool hevc = false;
    bool lastAppAudio = true;
    bool micEnabled = false;
    std::optional<QString> micDeviceID;
    bool micInEach = false;
    bool showOutline = true;
    bool outlineIdle = false;
    bool startAtLogin = false; // mirrors the login entry, which is what really starts us
    // The note that closing the window leaves the application in the tray was shown (once ever).
    bool trayNoteShown = false;
    QString container = QStringLiteral("mov");
    // Global shortcuts in their text form ("Ctrl+Alt+R"); empty: off. Saved even when off, so
    // a cleared shortcut does not come back as the default.
    QString shortcutStartStop = QStringLiteral("Ctrl+Alt+R");
    QString shortcutPauseResume = QStringLiteral("Ctrl+Alt+P");

    // Pretty-printed, keys sorted, no "micDeviceID" when absent, no "startAtLogin" or
    // "trayNoteShown" when off.
    QByteArray encode() const;
    // Nothing when the bytes are not a JSON object or any present value, at any depth, has
    // the wrong type or lacks a required key. A shortcut that does not read as one is off, and
    // the rest of the file is kept.
    static std::optional<AppState> decode(const QByteArray& bytes);

    friend bool operator==(const AppState&, const AppState&) = default;
};

} // namespace lc
