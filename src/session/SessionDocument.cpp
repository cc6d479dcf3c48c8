#include "session/SessionDocument.h"

#include "common/Files.h"
#include "session/Rounding.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

namespace lc {

namespace {

// Set when a value cannot be written as a number that reads back the same.
struct NumberCheck {
    bool ok = true;
    QJsonValue operator()(double v) {
        if (!std::isfinite(v)) ok = false;
        return QJsonValue(v);
    }
};

QJsonObject recordingJson(const SessionRecording& r, NumberCheck& num) {
    QJsonObject o{{QStringLiteral("file"), r.file},
                  {QStringLiteral("app"), r.app},
                  {QStringLiteral("windowTitle"), r.windowTitle},
                  {QStringLiteral("preset"), r.preset},
                  {QStringLiteral("width"), r.width},
                  {QStringLiteral("height"), r.height},
                  {QStringLiteral("fps"), r.fps},
                  {QStringLiteral("startOffset"), num(r.startOffset)},
                  {QStringLiteral("hasAppAudio"), r.hasAppAudio},
                  {QStringLiteral("hasMicTrack"), r.hasMicTrack},
                  {QStringLiteral("startTimecode"), r.startTimecode}};
    if (r.duration) o.insert(QStringLiteral("duration"), num(*r.duration));
    if (r.warning) o.insert(QStringLiteral("warning"), *r.warning);
    return o;
}

QJsonValue micJson(const std::optional<SessionMic>& mic, NumberCheck& num) {
    if (!mic) return QJsonValue(QJsonValue::Null);
    QJsonObject o{{QStringLiteral("file"), mic->file},
                  {QStringLiteral("device"), mic->device},
                  {QStringLiteral("startOffset"), num(mic->startOffset)},
                  {QStringLiteral("startTimecode"), mic->startTimecode}};
    if (mic->duration) o.insert(QStringLiteral("duration"), num(*mic->duration));
    return o;
}

} // namespace

const QString& aiInstructionText() {
    static const QString text = QStringLiteral(
        "TASK FOR AN AI VIDEO EDITOR. Read this whole file, then build ONE final video with ffmpeg.\n"
        "\n"
        "CONTEXT\n"
        "This folder holds screen recordings of several app windows captured at the same time by Loomcast, "
        "plus this session.json. All times below are seconds on one shared clock that starts at session "
        "start. A clip's own time 0 is its first frame, which happened at its startOffset on the shared "
        "clock, so shared time T corresponds to clip time T - startOffset.\n"
        "\n"
        "DELIVERABLE\n"
        "Create 'Loomcast Final.mp4' in this same folder (next to session.json). H.264 video (yuv420p) + AAC "
        "audio, MP4 with +faststart, exactly final.preset.width x final.preset.height, constant frame rate "
        "(the highest fps among the recordings), length = the end of the last recording (the max of "
        "startOffset + duration). Do not modify or delete the original files.\n"
        "\n"
        "WHAT TO SHOW\n"
        "focus[] says which window was active over time: entry i is active from focus[i].t until "
        "focus[i+1].t (the last one until the end). At every moment show the clip named in focus[i].file, "
        "using its footage from clip time (t - startOffset). If a clip has run out of footage, hold its last "
        "frame.\n"
        "\n"
        "TRANSITIONS\n"
        "At each switch between two clips use a smooth transition of final.transitionDuration seconds "
        "(default: crossfade, ffmpeg xfade=transition=fade:duration=0.35; slideleft is an acceptable "
        "alternative). Tip: give every segment except the last transitionDuration extra seconds of footage "
        "at its end, chain the segments with xfade, and set each xfade offset to the next entry's t, so the "
        "new window is fully visible shortly after the switch and the total length stays correct.\n"
        "\n"
        "MIXED ASPECT RATIOS\n"
        "Scale each clip to fit inside the output without stretching. If the clip's aspect ratio differs "
        "from the output's, put the fitted clip centred on top of a blurred, enlarged copy of the same clip "
        "that fills the whole frame (scale with force_original_aspect_ratio=increase, crop, then gblur sigma "
        "about 30). Never use black bars.\n"
        "\n"
        "AUDIO\n"
        "- If mic is not null: it is the main voice. Place it on the shared clock by delaying it "
        "mic.startOffset seconds (adelay), at full volume.\n"
        "- Under the voice, play the app audio of the currently focused clip (only if its hasAppAudio is "
        "true; it is that clip's first audio stream) at about -12 dB (volume 0.25), faded 0.35 s at "
        "switches, also aligned by startOffset. Mix with amix (normalize=0 if available).\n"
        "- If mic is null: use only the focused clip's app audio at full volume.\n"
        "- Ignore the second audio stream of a clip (hasMicTrack = true): it is a copy of the mic, already "
        "covered by the Mic file.\n"
        "\n"
        "SYNC\n"
        "Align everything by the offsets above. Never change the speed of, or stretch, audio or video. Check "
        "with ffprobe that the output duration is within 0.1 s of the expected length.\n"
        "\n"
        "REPORT\n"
        "Print every ffmpeg command you ran, and the final file path, duration and resolution. If ffmpeg is "
        "missing, install it (for example: sudo apt install ffmpeg).\n"
        "\n"
        "DATA (in this file): version, sessionStart (ISO time of session start), recordings[] (file, app, "
        "windowTitle, preset, width, height, fps, startOffset, duration, hasAppAudio, hasMicTrack, "
        "startTimecode), mic (file, device, startOffset, duration, startTimecode) or null, focus[] ({t, "
        "file, windowTitle}), final ({preset: {name, width, height}, transition, transitionDuration}). "
        "container is \"mov\" or \"mp4\"; timecodeStorage says where the wall-clock start timecode lives (a "
        "tmcd track in .mov files for NLE sync-by-timecode, the metadata comment tag in .mp4 files); the Mic "
        "file always carries it in its metadata comment. pauses[] ({at, length}) lists where recording was "
        "paused (at on the shared clock above, length in wall-clock seconds); those spans are already cut "
        "from every file, the mic and focus[], so they need no editing.");
    return text;
}

SessionRecording* SessionDocument::recording(const QUuid& entry) {
    for (auto it = recordings.rbegin(); it != recordings.rend(); ++it) {
        if (it->entry == entry) return &*it;
    }
    return nullptr;
}

const SessionRecording* SessionDocument::recording(const QUuid& entry) const {
    return const_cast<SessionDocument*>(this)->recording(entry);
}

void SessionDocument::addRecording(SessionRecording recording, const Preset& preset) {
    if (recordings.empty()) finalSettings.preset = FinalPreset{preset.name, preset.width, preset.height};
    recordings.push_back(std::move(recording));
}

SessionDocument SessionDocument::withFocus(const std::vector<FocusLogEntry>& log) const {
    SessionDocument doc = *this;
    // Stored times are already whole milliseconds; rounding again is a no-op for them and keeps
    // the document at three decimals whatever a caller stored.
    const auto ms = [](std::optional<double> v) {
        return v ? std::optional<double>(round3(*v)) : std::nullopt;
    };
    for (SessionRecording& r : doc.recordings) {
        r.startOffset = round3(r.startOffset);
        r.duration = ms(r.duration);
    }
    if (doc.mic) {
        doc.mic->startOffset = round3(doc.mic->startOffset);
        doc.mic->duration = ms(doc.mic->duration);
    }
    for (SessionPause& p : doc.pauses) {
        p.at = round3(p.at);
        p.length = round3(p.length);
    }
    doc.focus.clear();
    for (const FocusLogEntry& f : log) {
        if (const SessionRecording* r = recording(f.id))
            doc.focus.push_back(FocusSwitch{round3(f.t), r->file, r->windowTitle});
    }
    return doc;
}

QString SessionDocument::timecodeStorage() const {
    return container == QLatin1String("mp4")
               ? QStringLiteral("metadata comment tag (MP4 cannot hold a tmcd track)")
               : QStringLiteral("tmcd track in each .mov");
}

std::optional<QByteArray> SessionDocument::encode() const {
    NumberCheck num;
    QJsonArray recs;
    for (const SessionRecording& r : recordings)
        recs.append(recordingJson(r, num));
    QJsonArray foc;
    for (const FocusSwitch& f : focus) {
        foc.append(QJsonObject{{QStringLiteral("t"), num(f.t)},
                               {QStringLiteral("file"), f.file},
                               {QStringLiteral("windowTitle"), f.windowTitle}});
    }
    QJsonArray paused;
    for (const SessionPause& p : pauses)
        paused.append(
            QJsonObject{{QStringLiteral("at"), num(p.at)}, {QStringLiteral("length"), num(p.length)}});
    const QJsonObject preset{{QStringLiteral("name"), finalSettings.preset.name},
                             {QStringLiteral("width"), finalSettings.preset.width},
                             {QStringLiteral("height"), finalSettings.preset.height}};
    const QJsonObject fin{{QStringLiteral("preset"), preset},
                          {QStringLiteral("transition"), finalSettings.transition},
                          {QStringLiteral("transitionDuration"), num(finalSettings.transitionDuration)}};
    const QJsonObject top{{QStringLiteral("_ai_instructions"), aiInstructionText()},
                          {QStringLiteral("version"), version},
                          {QStringLiteral("container"), container.value_or(QStringLiteral("mov"))},
                          {QStringLiteral("timecodeStorage"), timecodeStorage()},
                          {QStringLiteral("sessionStart"), sessionStart},
                          {QStringLiteral("recordings"), recs},
                          {QStringLiteral("mic"), micJson(mic, num)},
                          {QStringLiteral("focus"), foc},
                          {QStringLiteral("pauses"), paused},
                          {QStringLiteral("final"), fin}};
    if (!num.ok) return std::nullopt;
    // QJsonObject keeps keys in ascending order, writes the shortest decimal that reads back
    // to the same double, and leaves slashes and non-ASCII characters as they are.
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}

Result<void> writeSessionDocument(const QString& folder, const SessionDocument& doc) {
    const auto bytes = doc.encode();
    if (!bytes) return makeError("Cannot write session.json: a time in it is not a finite number");
    return writeFileDurably(QDir(folder).filePath(QStringLiteral("session.json")), *bytes);
}

} // namespace lc
