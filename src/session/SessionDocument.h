#pragma once
// The session record, one shape from start to finish: the session keeps it while recorders
// start and finish, writes it as the folder's "session.json", and the export reads it back.
// What only the running session needs (which entry a recording belongs to) is never written.
#include "common/Result.h"
#include "model/Preset.h"

#include <QByteArray>
#include <QString>
#include <QUuid>
#include <optional>
#include <vector>

namespace lc {

// One committed focus change: shared-clock seconds and the entry that got the focus.
struct FocusLogEntry {
    double t = 0;
    QUuid id;

    friend bool operator==(const FocusLogEntry&, const FocusLogEntry&) = default;
};

// One window file of the session ("recordings[]").
struct SessionRecording {
    QString file; // name inside the session folder
    QString app;
    QString windowTitle;
    QString preset; // the preset's label()
    qint64 width = 0;
    qint64 height = 0;
    int fps = 30;
    double startOffset = 0;         // shared-clock seconds of the first frame
    std::optional<double> duration; // absent until the recorder finished
    bool hasAppAudio = false;
    bool hasMicTrack = false;
    QString startTimecode; // empty until known
    std::optional<QString> warning;
    QUuid entry; // the entry recorded; in memory only, null when read back

    friend bool operator==(const SessionRecording&, const SessionRecording&) = default;
};

// The microphone file ("mic").
struct SessionMic {
    QString file = QStringLiteral("Mic.m4a");
    QString device = QStringLiteral("default");
    double startOffset = 0; // never negative
    std::optional<double> duration;
    QString startTimecode;

    friend bool operator==(const SessionMic&, const SessionMic&) = default;
};

// One switch of the final video to a file ("focus[]").
struct FocusSwitch {
    double t = 0;
    QString file;
    QString windowTitle;

    friend bool operator==(const FocusSwitch&, const FocusSwitch&) = default;
};

// One pause of the whole session ("pauses[]"): when it began in session time (earlier pauses
// already cut out) and how long it lasted on the wall clock. Every file, the microphone and the
// focus history already leave it out; it is written down for whoever wants to know.
struct SessionPause {
    double at = 0;
    double length = 0;

    friend bool operator==(const SessionPause&, const SessionPause&) = default;
};

struct FinalPreset {
    QString name;
    qint64 width = 0;
    qint64 height = 0;

    friend bool operator==(const FinalPreset&, const FinalPreset&) = default;
};

// How the final video is assembled ("final").
struct FinalSettings {
    FinalPreset preset{Preset::defaultPreset().name, Preset::defaultPreset().width,
                       Preset::defaultPreset().height};
    QString transition = QStringLiteral("crossfade");
    double transitionDuration = 0.35;

    friend bool operator==(const FinalSettings&, const FinalSettings&) = default;
};

struct SessionDocument {
    int version = 1;
    std::optional<QString> container;         // "mov" or "mp4"; older files may lack it
    QString sessionStart;                     // ISO 8601, UTC, whole seconds
    std::vector<SessionRecording> recordings; // in the order the recorders started
    std::optional<SessionMic> mic;            // written as null when absent
    std::vector<FocusSwitch> focus;
    std::vector<SessionPause> pauses; // absent in older files: none
    FinalSettings finalSettings;      // "final"

    // The latest recording of an entry, or null.
    SessionRecording* recording(const QUuid& entry);
    const SessionRecording* recording(const QUuid& entry) const;
    // Appends a recording; the first one decides the final video's preset.
    void addRecording(SessionRecording recording, const Preset& preset);
    // A copy ready to write: focus[] from the log (changes to entries without a recording are
    // left out), every time rounded to milliseconds.
    SessionDocument withFocus(const std::vector<FocusLogEntry>& log) const;

    // Where the start timecode lives, derived from the container.
    QString timecodeStorage() const;

    // Pretty-printed UTF-8 JSON, keys sorted, slashes unescaped, the instruction text on top.
    // Nothing when a number is not finite (it could not be read back).
    std::optional<QByteArray> encode() const;

    // Strict reading: exact keys, no defaults for required keys, no type guessing. The error
    // names the offending key and where it sits.
    static Result<SessionDocument> decode(const QByteArray& json);
    // Reads "session.json" directly inside `folder` (a regular file of bounded size) and decodes it.
    static Result<SessionDocument> read(const QString& folder);

    friend bool operator==(const SessionDocument&, const SessionDocument&) = default;
};

// The fixed instruction text for an AI video editor (30 lines, no final line feed).
const QString& aiInstructionText();

// Writes "session.json" into `folder` durably (common/Files.h). On failure the previous manifest
// stays and the error says why.
Result<void> writeSessionDocument(const QString& folder, const SessionDocument& doc);

// True for a name that can only mean a file directly inside the session folder: not empty,
// no path separator, not "." or "..", no NUL.
bool isPlainFileName(const QString& name);

// The first recording or microphone file name that is not plain, refused with a message, so
// that nothing outside the folder is ever opened.
Result<void> checkFileNames(const SessionDocument& doc);

} // namespace lc
