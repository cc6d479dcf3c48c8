#include "ui/FocusTimeline.h"

#include "ui/Theme.h"

#include <QDir>
#include <QFile>
#include <QHelpEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>
#include <algorithm>
#include <cmath>

namespace lc::ui {

namespace {

constexpr int kBarHeight = 6;

bool finiteNonNegative(double v) {
    return std::isfinite(v) && v >= 0;
}

} // namespace

SessionTimeline sessionTimeline(const SessionDocument& doc, std::vector<TimelinePause> pauses) {
    SessionTimeline out;
    for (const SessionRecording& r : doc.recordings) {
        if (r.duration && finiteNonNegative(r.startOffset) && finiteNonNegative(*r.duration))
            out.length = std::max(out.length, r.startOffset + *r.duration);
    }
    // A session whose recorders never finished still shows its switches.
    if (out.length == 0) {
        for (const FocusSwitch& f : doc.focus) {
            if (finiteNonNegative(f.t)) out.length = std::max(out.length, f.t);
        }
    }

    struct Kept {
        double t;
        int index;
        QString title;
    };
    std::vector<Kept> kept;
    for (const FocusSwitch& f : doc.focus) {
        if (!std::isfinite(f.t) || f.t >= out.length) continue;
        const auto it = std::find_if(doc.recordings.begin(), doc.recordings.end(),
                                     [&](const SessionRecording& r) { return r.file == f.file; });
        if (it == doc.recordings.end()) continue;
        const QString title = f.windowTitle.isEmpty() ? it->windowTitle : f.windowTitle;
        kept.push_back({std::max(0.0, f.t), static_cast<int>(it - doc.recordings.begin()), title});
    }
    std::stable_sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) { return a.t < b.t; });

    const bool dissolves = doc.finalSettings.transition == QLatin1String("crossfade") &&
                           std::isfinite(doc.finalSettings.transitionDuration) &&
                           doc.finalSettings.transitionDuration > 0;
    out.dissolveLength = dissolves ? doc.finalSettings.transitionDuration : 0;
    for (size_t i = 0; i < kept.size(); ++i) {
        const double end = i + 1 < kept.size() ? kept[i + 1].t : out.length;
        if (!out.segments.empty() && out.segments.back().colourIndex == kept[i].index) {
            out.segments.back().end = end; // the same window again: one stretch
            continue;
        }
        if (end <= kept[i].t) continue;
        out.segments.push_back(
            {kept[i].t, end, kept[i].index, kept[i].title, dissolves && !out.segments.empty()});
    }

    for (const TimelinePause& p : pauses) {
        if (finiteNonNegative(p.at) && finiteNonNegative(p.length) && p.length > 0) out.pauses.push_back(p);
    }
    std::sort(out.pauses.begin(), out.pauses.end(),
              [](const TimelinePause& a, const TimelinePause& b) { return a.at < b.at; });
    return out;
}

std::vector<TimelinePause> readPauses(const QByteArray& json) {
    std::vector<TimelinePause> out;
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    if (!doc.isObject()) return out;
    const QJsonValue list = doc.object().value(QStringLiteral("pauses"));
    if (!list.isArray()) return out;
    for (const QJsonValue& v : list.toArray()) {
        const QJsonObject o = v.toObject();
        const QJsonValue at = o.value(QStringLiteral("at"));
        const QJsonValue length = o.value(QStringLiteral("length"));
        if (at.isDouble() && length.isDouble()) out.push_back({at.toDouble(), length.toDouble()});
    }
    return out;
}

std::optional<SessionPicture> readSessionPicture(const QString& folder) {
    const auto doc = SessionDocument::read(folder);
    if (!doc) return std::nullopt;
    // The record was just read; the extras are optional, so a second read that fails adds none.
    QFile f(QDir(folder).filePath(QStringLiteral("session.json")));
    const QByteArray json = f.open(QIODevice::ReadOnly) ? f.read(8 << 20) : QByteArray();
    SessionPicture out;
    out.timeline = sessionTimeline(*doc, readPauses(json));
    out.windows = static_cast<int>(doc->recordings.size());
    const QJsonDocument raw = QJsonDocument::fromJson(json);
    const QString start =
        raw.isObject() ? raw.object().value(QStringLiteral("sessionStart")).toString() : QString();
    out.start = QDateTime::fromString(start, Qt::ISODate);
    return out;
}

QString sessionDateText(const QDateTime& when, const QDateTime& now) {
    const QDateTime local = when.toLocalTime();
    const QDateTime current = now.toLocalTime();
    const QString clock = local.toString(QStringLiteral("HH:mm"));
    if (local <= current) {
        const qint64 days = local.date().daysTo(current.date());
        if (days == 0) return QStringLiteral("Today ") + clock;
        if (days == 1) return QStringLiteral("Yesterday ") + clock;
    }
    return QLocale(QLocale::English).toString(local.date(), QStringLiteral("d MMM yyyy")) +
           QStringLiteral(", ") + clock;
}

QString durationText(double seconds) {
    const qint64 total = std::isfinite(seconds) && seconds > 0 ? static_cast<qint64>(seconds) : 0;
    const qint64 h = total / 3600, m = total / 60 % 60, s = total % 60;
    const auto two = [](qint64 v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
    return h > 0 ? QString::number(h) + u':' + two(m) + u':' + two(s) : two(m) + u':' + two(s);
}

QColor timelineColour(int index) {
    // Hues far apart, each at least 3:1 on the card in its appearance.
    static const QColor light[] = {QColor(0x00, 0x60, 0xC8), QColor(0xC2, 0x41, 0x0C),
                                   QColor(0x15, 0x80, 0x3D), QColor(0x7E, 0x22, 0xCE),
                                   QColor(0xB4, 0x23, 0x6B), QColor(0x0E, 0x74, 0x90)};
    static const QColor dark[] = {QColor(0x5A, 0xA6, 0xFF), QColor(0xFB, 0x92, 0x3C),
                                  QColor(0x4A, 0xDE, 0x80), QColor(0xC0, 0x84, 0xFC),
                                  QColor(0xF4, 0x72, 0xB6), QColor(0x22, 0xD3, 0xEE)};
    const int n = static_cast<int>(std::size(light));
    const int i = ((index % n) + n) % n;
    return Theme::appearance() == Appearance::dark ? dark[i] : light[i];
}

FocusTimeline::FocusTimeline(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setMouseTracking(true);
    setAccessibleName(QStringLiteral("Focus timeline"));
    connect(&Theme::instance(), &Theme::changed, this, qOverload<>(&QWidget::update));
}

void FocusTimeline::setTimeline(SessionTimeline timeline) {
    timeline_ = std::move(timeline);
    QStringList names;
    for (const TimelineSegment& s : timeline_.segments)
        names << describe(s);
    setAccessibleDescription(names.join(QStringLiteral("; ")));
    update();
}

void FocusTimeline::setProgress(std::optional<double> fraction) {
    if (fraction && !std::isfinite(*fraction)) fraction = 0.0;
    if (fraction) fraction = std::clamp(*fraction, 0.0, 1.0);
    if (fraction == progress_) return;
    progress_ = fraction;
    update();
}

QSize FocusTimeline::sizeHint() const {
    return {160, progress_ ? kBarHeight + 6 : kBarHeight + 2};
}

double FocusTimeline::xOf(double seconds) const {
    if (timeline_.length <= 0) return 0;
    return std::clamp(seconds / timeline_.length, 0.0, 1.0) * width();
}

const TimelineSegment* FocusTimeline::segmentAt(int x) const {
    for (const TimelineSegment& s : timeline_.segments) {
        if (x >= std::floor(xOf(s.start)) && x < std::ceil(xOf(s.end))) return &s;
    }
    return nullptr;
}

QString FocusTimeline::describe(const TimelineSegment& segment) {
    return segment.window + QStringLiteral(", ") + durationText(segment.start) + QStringLiteral(" – ") +
           durationText(segment.end);
}

bool FocusTimeline::event(QEvent* e) {
    if (e->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(e);
        if (const TimelineSegment* s = segmentAt(help->pos().x()))
            QToolTip::showText(help->globalPos(), describe(*s), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(e);
}

void FocusTimeline::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const Colours& c = Theme::colours();
    const qreal top = (height() - kBarHeight) / 2.0;
    const QRectF bar(0, top, width(), kBarHeight);
    QPainterPath clip;
    clip.addRoundedRect(bar, kBarHeight / 2.0, kBarHeight / 2.0);
    p.setClipPath(clip);
    p.fillRect(bar, c.separator);

    // While exporting, the part not yet done stays faint.
    const qreal doneX = progress_ ? *progress_ * width() : width();
    for (const TimelineSegment& s : timeline_.segments) {
        const QRectF r(xOf(s.start), top, std::max(1.0, xOf(s.end) - xOf(s.start)), kBarHeight);
        const QColor colour = timelineColour(s.colourIndex);
        p.fillRect(r, progress_ ? withAlpha(colour, 0.35) : colour);
        if (progress_ && r.left() < doneX)
            p.fillRect(QRectF(r.left(), top, std::min(r.width(), doneX - r.left()), kBarHeight), colour);
        if (s.dissolveIn) {
            // A soft wedge where one window melts into the next.
            const qreal w = std::max(3.0, xOf(s.start + timeline_.dissolveLength) - xOf(s.start));
            QLinearGradient g(r.left() - w / 2, 0, r.left() + w / 2, 0);
            g.setColorAt(0, withAlpha(c.card, 0));
            g.setColorAt(0.5, withAlpha(c.card, 0.85));
            g.setColorAt(1, withAlpha(c.card, 0));
            p.fillRect(QRectF(r.left() - w / 2, top, w, kBarHeight), g);
        }
    }
    for (const TimelinePause& pause : timeline_.pauses) {
        const qreal x0 = xOf(pause.at), x1 = std::max(x0 + 2, xOf(pause.at + pause.length));
        const QRectF r(x0, top, x1 - x0, kBarHeight);
        p.fillRect(r, c.card);
        p.fillRect(r, QBrush(c.secondary, Qt::BDiagPattern));
    }
    p.setClipping(false);
    if (progress_) {
        // The playhead of the export.
        p.setPen(Qt::NoPen);
        p.setBrush(c.text);
        p.drawRoundedRect(QRectF(std::clamp(doneX - 1.0, 0.0, width() - 2.0), 0, 2, height()), 1, 1);
    }
}

} // namespace lc::ui
