#pragma once
// A session drawn as a thin bar: one coloured segment per stretch a window had the focus,
// marks where the final video dissolves from one window to the next, pauses hatched, and an
// optional progress running along it. The segments come from a pure function of the session
// record so that they can be checked without painting. Main thread only.
#include "session/SessionDocument.h"

#include <QDateTime>
#include <QWidget>
#include <optional>
#include <vector>

namespace lc::ui {

struct TimelineSegment {
    double start = 0; // shared-clock seconds
    double end = 0;
    int colourIndex = 0;     // the recording's index: the same window keeps its colour
    QString window;          // the window's title
    bool dissolveIn = false; // the final video dissolves into this segment at `start`

    friend bool operator==(const TimelineSegment&, const TimelineSegment&) = default;
};

struct TimelinePause {
    double at = 0;
    double length = 0;

    friend bool operator==(const TimelinePause&, const TimelinePause&) = default;
};

struct SessionTimeline {
    double length = 0; // seconds from the clock's start to the last recording's end
    std::vector<TimelineSegment> segments;
    std::vector<TimelinePause> pauses;
    double dissolveLength = 0; // 0 when the final video cuts
};

// The focus switches as segments, each ending where the next begins or at the session's end;
// switches to files that are not among the recordings, and switches past the end, are left out.
SessionTimeline sessionTimeline(const SessionDocument& doc, std::vector<TimelinePause> pauses = {});

// The optional top-level "pauses" list of {"at", "length"} in a session.json; malformed or
// absent entries give nothing.
std::vector<TimelinePause> readPauses(const QByteArray& json);

// What a history row shows of the session in `folder`, or nothing when its record cannot be
// read. The start comes from the raw "sessionStart" (ISO 8601), invalid when missing.
struct SessionPicture {
    SessionTimeline timeline;
    int windows = 0;
    QDateTime start;
};
std::optional<SessionPicture> readSessionPicture(const QString& folder);

// "Today 14:05", "Yesterday 09:30", else "2 May 2024, 14:05" (also for a date after `now`).
QString sessionDateText(const QDateTime& when, const QDateTime& now);
// "02:31" or "1:02:31".
QString durationText(double seconds);

// The colour of the n-th recording's segments, in the current appearance.
QColor timelineColour(int index);

class FocusTimeline : public QWidget {
    Q_OBJECT
public:
    explicit FocusTimeline(QWidget* parent = nullptr);

    void setTimeline(SessionTimeline timeline);
    const SessionTimeline& timeline() const { return timeline_; }
    // 0…1 of the export done, drawn along the bar; nothing hides it.
    void setProgress(std::optional<double> fraction);
    std::optional<double> progress() const { return progress_; }

    // The segment under x (widget pixels), for the tooltip.
    const TimelineSegment* segmentAt(int x) const;
    // "Alpha Editor, 00:12 – 00:40".
    static QString describe(const TimelineSegment& segment);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;
    bool event(QEvent* e) override;

private:
    double xOf(double seconds) const;
    SessionTimeline timeline_;
    std::optional<double> progress_;
};

} // namespace lc::ui
