#pragma once
// The session.json document: what a program or an AI editor needs to assemble the final
// video from a session folder.
#include "session/SessionRecord.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

namespace lc {

struct AIRecording {
    QString file;
    QString app;
    QString windowTitle;
    QString preset; // label
    qint64 width = 0;
    qint64 height = 0;
    int fps = 30;
    double startOffset = 0;
    std::optional<double> duration; // key left out when absent
    bool hasAppAudio = false;
    bool hasMicTrack = false;
    QString startTimecode;
    std::optional<QString> warning; // key left out when absent

    friend bool operator==(const AIRecording&, const AIRecording&) = default;
};

struct AIMic {
    QString file;
    QString device;
    double startOffset = 0;
    std::optional<double> duration;
    QString startTimecode;

    friend bool operator==(const AIMic&, const AIMic&) = default;
};

struct AIFocus {
    double t = 0;
    QString file;
    QString windowTitle;

    friend bool operator==(const AIFocus&, const AIFocus&) = default;
};

struct AIPresetRef {
    QString name;
    qint64 width = 0;
    qint64 height = 0;

    friend bool operator==(const AIPresetRef&, const AIPresetRef&) = default;
};

struct AIFinal {
    AIPresetRef preset;
    QString transition = QStringLiteral("crossfade");
    double transitionDuration = 0.35;

    friend bool operator==(const AIFinal&, const AIFinal&) = default;
};

struct AISession {
    QString aiInstructions; // "_ai_instructions"
    int version = 1;
    QString container; // "mov" or "mp4"
    QString sessionStart;
    std::vector<AIRecording> recordings;
    std::optional<AIMic> mic; // written as null when absent
    std::vector<AIFocus> focus;
    AIFinal finalSettings; // "final"

    // Where the start timecode lives, derived from the container.
    QString timecodeStorage() const;

    // Pretty-printed UTF-8 JSON, keys sorted, slashes unescaped. Nothing when a number is
    // not finite (it could not be read back).
    std::optional<QByteArray> encode() const;

    friend bool operator==(const AISession&, const AISession&) = default;
};

// The fixed instruction text for an AI video editor (30 lines, no final line feed).
const QString& aiInstructionText();

// Builds the document from the session record and the focus log. Focus entries whose id has
// no (valid) index are left out; every time is rounded to milliseconds. The final preset
// is the first recording's preset, or built-in row 1 when there is none.
AISession makeAISession(const SessionFile& record, const SessionIndex& index,
                        const std::vector<FocusLogEntry>& focusLog, const QString& container);

// Writes "session.json" into `folder` atomically. False when encoding or writing failed; the
// previous manifest then stays.
bool writeSessionDocument(const QString& folder, const AISession& doc);

} // namespace lc
