// The focus timeline of a session: segments from generated session records, pauses, the date
// texts, the drawn colours, the tooltip text, and the history rows built from real folders.
#include "UiFixture.h"

#include "ui/ExportBar.h"
#include "ui/FocusTimeline.h"

#include <QDir>
#include <QTimeZone>

using namespace lc;
using namespace lc::ui;
using lc::test::UiFixture;

namespace {

// A session with `windows` recordings of `length` seconds each and focus switches at
// (time, recording index) pairs.
SessionDocument generated(int windows, double length, const std::vector<std::pair<double, int>>& switches) {
    SessionDocument doc;
    doc.sessionStart = "2024-05-02T12:05:10Z";
    for (int i = 0; i < windows; ++i) {
        SessionRecording r;
        r.file = QString("Window %1.mov").arg(i);
        r.windowTitle = QString("Title %1").arg(i);
        r.startOffset = 0.5 * i;
        r.duration = length - 0.5 * i;
        doc.recordings.push_back(r);
    }
    for (const auto& [t, index] : switches)
        doc.focus.push_back({t, QString("Window %1.mov").arg(index), QString("Title %1").arg(index)});
    return doc;
}

void touchEmpty(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("{}");
}

} // namespace

TEST(FocusTimelineSegments, FollowTheSwitchesAndKeepEachWindowsColour) {
    const SessionTimeline t = sessionTimeline(generated(3, 60, {{0, 0}, {10, 1}, {25, 2}, {40, 0}, {50, 1}}));
    EXPECT_DOUBLE_EQ(t.length, 60);
    ASSERT_EQ(t.segments.size(), 5u);
    const std::vector<TimelineSegment> expected{{0, 10, 0, "Title 0", false},
                                                {10, 25, 1, "Title 1", true},
                                                {25, 40, 2, "Title 2", true},
                                                {40, 50, 0, "Title 0", true},
                                                {50, 60, 1, "Title 1", true}};
    EXPECT_EQ(t.segments, expected);
    EXPECT_DOUBLE_EQ(t.dissolveLength, 0.35);

    // Generated: random switch times over many windows always tile the session without gaps.
    for (int windows = 1; windows <= 7; ++windows) {
        std::vector<std::pair<double, int>> switches;
        for (int i = 0; i < 20; ++i)
            switches.push_back({i * 4.5 + (i % 3) * 0.25, (i * 5 + windows) % windows});
        const SessionTimeline g = sessionTimeline(generated(windows, 100, switches));
        ASSERT_FALSE(g.segments.empty());
        EXPECT_DOUBLE_EQ(g.segments.front().start, switches.front().first);
        EXPECT_DOUBLE_EQ(g.segments.back().end, 100);
        for (size_t i = 1; i < g.segments.size(); ++i) {
            EXPECT_DOUBLE_EQ(g.segments[i].start, g.segments[i - 1].end) << windows << " windows, " << i;
            EXPECT_NE(g.segments[i].colourIndex, g.segments[i - 1].colourIndex) << "repeats are merged";
        }
        for (const TimelineSegment& s : g.segments) {
            EXPECT_EQ(s.window, QString("Title %1").arg(s.colourIndex));
            EXPECT_LT(s.start, s.end);
        }
    }
}

TEST(FocusTimelineSegments, LeaveOutWhatIsNotInTheSession) {
    SessionDocument doc = generated(2, 30, {{20, 1}, {0, 0}, {12, 0}, {35, 1}});
    doc.focus.push_back({5, "Elsewhere.mov", "Gone"});
    doc.finalSettings.transition = "cut";
    const SessionTimeline t = sessionTimeline(doc);
    // Out of order switches are sorted, a repeat extends the stretch, an unknown file and a
    // switch past the end are dropped; a cut has no dissolves.
    const std::vector<TimelineSegment> expected{{0, 20, 0, "Title 0", false}, {20, 30, 1, "Title 1", false}};
    EXPECT_EQ(t.segments, expected);
    EXPECT_EQ(t.dissolveLength, 0);

    // Recorders that never finished: the last switch ends the timeline.
    SessionDocument open = generated(2, 30, {{0, 0}, {8, 1}});
    for (auto& r : open.recordings)
        r.duration.reset();
    const SessionTimeline o = sessionTimeline(open);
    EXPECT_DOUBLE_EQ(o.length, 8);
    ASSERT_EQ(o.segments.size(), 1u);
    EXPECT_EQ(o.segments.front().end, 8);

    EXPECT_TRUE(sessionTimeline(SessionDocument{}).segments.empty());
}

TEST(FocusTimelineSegments, PausesAreReadWhenPresentAndIgnoredOtherwise) {
    EXPECT_TRUE(readPauses(R"({"version":1})").empty());
    EXPECT_TRUE(readPauses("not json").empty());
    EXPECT_TRUE(readPauses(R"({"pauses":"soon"})").empty());
    const auto pauses =
        readPauses(R"({"pauses":[{"at":12.5,"length":3},{"at":"x","length":1},{"at":30,"length":2}]})");
    const std::vector<TimelinePause> expected{{12.5, 3}, {30, 2}};
    EXPECT_EQ(pauses, expected);
    const SessionTimeline t =
        sessionTimeline(generated(1, 60, {{0, 0}}), {{40, 1}, {-1, 2}, {10, 0}, {20, 2}});
    const std::vector<TimelinePause> kept{{20, 2}, {40, 1}};
    EXPECT_EQ(t.pauses, kept) << "sorted, negative and empty ones dropped";
}

TEST(SessionDates, InWordsNearNowAndAsADateOtherwise) {
    const QDateTime now(QDate(2024, 5, 2), QTime(18, 0), Qt::LocalTime);
    EXPECT_EQ(sessionDateText(QDateTime(QDate(2024, 5, 2), QTime(14, 5), Qt::LocalTime), now), "Today 14:05");
    EXPECT_EQ(sessionDateText(QDateTime(QDate(2024, 5, 2), QTime(0, 0), Qt::LocalTime), now), "Today 00:00");
    EXPECT_EQ(sessionDateText(QDateTime(QDate(2024, 5, 1), QTime(23, 59), Qt::LocalTime), now),
              "Yesterday 23:59");
    EXPECT_EQ(sessionDateText(QDateTime(QDate(2024, 4, 30), QTime(9, 30), Qt::LocalTime), now),
              "30 Apr 2024, 09:30");
    EXPECT_EQ(sessionDateText(QDateTime(QDate(2023, 12, 31), QTime(9, 30), Qt::LocalTime), now),
              "31 Dec 2023, 09:30");
    // A clock set wrong when the session was made: never "Today" for a later hour.
    EXPECT_EQ(sessionDateText(QDateTime(QDate(2024, 5, 2), QTime(19, 0), Qt::LocalTime), now),
              "2 May 2024, 19:00");
    EXPECT_EQ(sessionDateText(QDateTime(QDate(2025, 1, 3), QTime(8, 0), Qt::LocalTime), now),
              "3 Jan 2025, 08:00");
    // Stored in UTC, told in local time.
    const QDateTime utc = QDateTime(QDate(2024, 5, 2), QTime(12, 0), Qt::UTC);
    EXPECT_EQ(sessionDateText(utc, utc.addSecs(60)), "Today " + utc.toLocalTime().toString("HH:mm"));

    EXPECT_EQ(durationText(151.9), "02:31");
    EXPECT_EQ(durationText(3751), "1:02:31");
    EXPECT_EQ(durationText(-3), "00:00");
    EXPECT_EQ(durationText(std::nan("")), "00:00");
}

TEST_F(UiFixture, FocusTimelineDrawsEachWindowInItsColourWithProgress) {
    for (Appearance a : {Appearance::light, Appearance::dark}) {
        Theme::apply(a);
        FocusTimeline bar;
        bar.resize(200, 10);
        bar.setTimeline(sessionTimeline(generated(3, 100, {{0, 0}, {25, 1}, {50, 2}, {75, 0}})));
        const QImage image = bar.grab().toImage();
        const int y = image.height() / 2;
        const auto near = [](QColor a, QColor b) {
            return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
                       std::abs(a.blue() - b.blue()) <
                   12;
        };
        EXPECT_TRUE(near(image.pixelColor(25, y), timelineColour(0)));
        EXPECT_TRUE(near(image.pixelColor(75, y), timelineColour(1)));
        EXPECT_TRUE(near(image.pixelColor(125, y), timelineColour(2)));
        EXPECT_TRUE(near(image.pixelColor(175, y), timelineColour(0))) << "the first window again";
        EXPECT_NE(timelineColour(0), timelineColour(1));
        EXPECT_GE(contrastRatio(timelineColour(0), Theme::colours().card), 3.0);
        EXPECT_GE(contrastRatio(timelineColour(2), Theme::colours().card), 3.0);

        // Half exported: the done half in full colour, the rest faint.
        bar.setProgress(0.5);
        const QImage half = bar.grab().toImage();
        EXPECT_TRUE(near(half.pixelColor(25, y), timelineColour(0)));
        EXPECT_FALSE(near(half.pixelColor(175, y), timelineColour(0)));
        bar.setProgress(std::nan(""));
        EXPECT_EQ(bar.progress(), 0.0);

        ASSERT_NE(bar.segmentAt(60), nullptr);
        EXPECT_EQ(FocusTimeline::describe(*bar.segmentAt(60)), "Title 1, 00:25 – 00:50");
        EXPECT_EQ(bar.segmentAt(199)->colourIndex, 0);
        EXPECT_TRUE(bar.accessibleDescription().contains("Title 2, 00:50 – 01:15"));
    }
    Theme::apply(Appearance::light);
}

TEST_F(UiFixture, HistoryRowsShowDateWindowsLengthAndTimeline) {
    const auto write = [&](const QString& name, const QString& start, int windows,
                           const QByteArray& extra = {}) {
        const QString folder = QDir(root).filePath(name);
        QDir().mkpath(folder);
        SessionDocument doc = generated(windows, 151.4, {{0, 0}, {30, windows - 1}});
        doc.sessionStart = start;
        ASSERT_TRUE(writeSessionDocument(folder, doc));
        if (!extra.isEmpty()) {
            QFile f(QDir(folder).filePath("session.json"));
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            QByteArray json = f.readAll();
            f.close();
            json.insert(json.lastIndexOf('}'), extra);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(json);
            f.close();
        }
        const auto back = SessionDocument::read(folder);
        ASSERT_TRUE(back) << back.error().message;
    };
    write("2024-05-02 14-05-10", "2024-05-02T12:05:10Z", 3, R"(,"pauses":[{"at":40,"length":5}])");
    write("2024-05-01 09-30-00", "2024-05-01T07:30:00Z", 1);
    touchEmpty(QDir(root).filePath("2024-04-01 08-00-00/session.json")); // unreadable: its name

    MainWindow& w = makeWindow();
    w.show();
    view().setShowHistory(true);
    HistoryPopover* history = w.historyPopover();
    ASSERT_NE(history, nullptr);
    history->setNow(QDateTime(QDate(2024, 5, 2), QTime(23, 0), Qt::UTC));
    history->reload();
    QStringList dates, facts;
    for (QLabel* l : history->findChildren<QLabel*>("historyDate"))
        dates << l->text();
    for (QLabel* l : history->findChildren<QLabel*>("historyFacts"))
        facts << l->text();
    const auto local = [](const char* iso) {
        return QDateTime::fromString(iso, Qt::ISODate).toLocalTime().toString("HH:mm");
    };
    ASSERT_EQ(dates.size(), 3);
    EXPECT_TRUE(dates[0].endsWith(local("2024-05-02T12:05:10Z"))) << dates[0].toStdString();
    EXPECT_TRUE(dates[1].endsWith(local("2024-05-01T07:30:00Z"))) << dates[1].toStdString();
    EXPECT_EQ(dates[2], "2024-04-01 08-00-00");
    EXPECT_EQ(facts, QStringList({"3 windows · 02:31", "1 window · 02:31"}));
    const QList<FocusTimeline*> timelines = history->findChildren<FocusTimeline*>();
    ASSERT_EQ(timelines.size(), 2);
    EXPECT_EQ(timelines[0]->timeline().segments.size(), 2u);
    EXPECT_EQ(timelines[0]->timeline().segments.back().colourIndex, 2);
    ASSERT_EQ(timelines[0]->timeline().pauses.size(), 1u);
    EXPECT_TRUE(timelines[1]->timeline().pauses.empty());
    EXPECT_EQ(history->exportButtons().size(), 3);
}
