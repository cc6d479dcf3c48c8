#pragma once
// The in-memory record of one session, kept up to date while recorders start and finish.
// It is never written as it stands: session.json is built from it (SessionDocument.h).
#include "model/Preset.h"

#include <QHash>
#include <QString>
#include <QUuid>
#include <optional>
#include <vector>

namespace lc {

struct SessionWindow {
    QString file; // name inside the session folder
    QString app;
    QString title;
    QString preset; // the preset's label()
    qint64 width = 0;
    qint64 height = 0;
    int fps = 30;
    QString codec = QStringLiteral("h264"); // "h264" or "hevc"
    double startOffsetSeconds = 0;          // milliseconds precision
    std::optional<double> durationSeconds;  // absent until the recorder finished
    std::optional<QString> warning;
    bool appAudio = false;
    bool micTrack = false;
    QString timecode; // empty until known
    Preset presetRef;

    friend bool operator==(const SessionWindow&, const SessionWindow&) = default;
};

struct SessionMic {
    QString file = QStringLiteral("Mic.m4a");
    QString device = QStringLiteral("default");
    double startOffsetSeconds = 0; // never negative
    std::optional<double> durationSeconds;
    QString timecode;

    friend bool operator==(const SessionMic&, const SessionMic&) = default;
};

struct SessionFile {
    QString startedAt; // ISO 8601, UTC, whole seconds
    QString folder;
    std::vector<SessionWindow> windows; // in the order the recorders started
    std::optional<SessionMic> mic;

    friend bool operator==(const SessionFile&, const SessionFile&) = default;
};

// One committed focus change: shared-clock seconds and the entry that got the focus.
struct FocusLogEntry {
    double t = 0;
    QUuid id;

    friend bool operator==(const FocusLogEntry&, const FocusLogEntry&) = default;
};

// Entry id -> index into SessionFile::windows.
using SessionIndex = QHash<QUuid, int>;

} // namespace lc
