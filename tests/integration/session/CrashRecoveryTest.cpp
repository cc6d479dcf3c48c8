// The real program recording three real windows and the microphone, killed with SIGKILL at
// moments chosen by what it prints and writes (just after the start, mid-recording, during the
// stop): every file plays up to shortly before the kill, the manifest is valid, "--recover"
// finishes and renames the files, and the export of the recovered folder succeeds.
#include "TestSupport.h"
#include "X11TestSupport.h"
#include "common/Clock.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>

using namespace lc;
using namespace lc::test;

namespace {

QString loomcast() {
    return qEnvironmentVariable("LC_BUILD_DIR") + "/src/app/loomcast";
}

QJsonObject manifestOf(const QString& folder) {
    QFile f(QDir(folder).filePath("session.json"));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

// Seconds of media ffmpeg decodes from a file (its last decoded timestamp), or -1.
double decodedSeconds(const QString& path) {
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path});
    p.waitForFinished(60000);
    bool ok = false;
    const double d = QString::fromUtf8(p.readAllStandardOutput()).trimmed().toDouble(&ok);
    return ok ? d : -1;
}

struct Outcome {
    QString folder;
    double startUptime = 0; // shared clock: the session's zero (from the printed epoch)
    double killedAt = 0;    // shared clock
    QStringList lines;
};

class CrashRecovery : public ::testing::Test {
protected:
    void SetUp() override {
        LC_REQUIRE_TEST_ENV();
        ASSERT_TRUE(QFileInfo(loomcast()).isExecutable());
        ASSERT_TRUE(home.isValid());
        const QStringList colours{"3366cc", "cc6633", "33cc66"};
        for (int i = 0; i < 3; ++i) {
            windows.push_back(std::make_unique<TestWindow>(QStringList{
                "--title", QString("Crash %1 Window").arg(i), "--class", QString("Crash%1").arg(i), "--size",
                "320x240", "--colour", colours[i], "--animate", "--tone", QString::number(300 + 100 * i)}));
            ASSERT_TRUE(windows.back()->ok());
        }
    }

    QProcessEnvironment env() const {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("LOOMCAST_DATA_HOME", home.filePath("data"));
        e.insert("LOOMCAST_SESSIONS_DIR", home.filePath("Sessions"));
        return e;
    }

    // Runs a session of `dur` seconds and kills it once `when(folder)` holds after the start.
    Outcome runAndKill(int dur, const std::function<bool(const QString&)>& when) {
        Outcome o;
        QProcess p;
        p.setProcessEnvironment(env());
        p.start(loomcast(), {"--selftest-multi", "--sel", "Crash 0 Window,Crash 1 Window,Crash 2 Window",
                             "--preset", "0", "--dur", QString::number(dur)});
        if (!p.waitForStarted(5000)) return o;
        const double skew = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0 - uptime();
        QByteArray pending;
        const double deadline = uptime() + 180;
        while (uptime() < deadline && p.state() != QProcess::NotRunning) {
            p.waitForReadyRead(10);
            pending += p.readAllStandardOutput();
            for (qsizetype nl; (nl = pending.indexOf('\n')) >= 0;) {
                const QString line = QString::fromUtf8(pending.left(nl));
                pending.remove(0, nl + 1);
                o.lines << line;
                if (line.startsWith("sessionStartEpoch=")) o.startUptime = line.mid(18).toDouble() - skew;
                if (line.startsWith("started session ")) o.folder = line.mid(16);
            }
            if (!o.folder.isEmpty() && when(o.folder)) {
                o.killedAt = uptime();
                ::kill(pid_t(p.processId()), SIGKILL);
                break;
            }
        }
        p.waitForFinished(10000);
        return o;
    }

    // Everything a killed session must satisfy; the worst loss of a file in seconds.
    double checkKilled(const Outcome& o, bool allFramesKnown) {
        double worst = 0;
        EXPECT_FALSE(o.folder.isEmpty()) << o.lines.join("\n").toStdString();
        if (o.folder.isEmpty()) return worst;
        const QJsonObject doc = manifestOf(o.folder);
        EXPECT_FALSE(doc.isEmpty()) << "session.json is valid JSON at every moment";
        EXPECT_EQ(doc["version"].toInt(), 1);
        EXPECT_TRUE(QFileInfo::exists(QDir(o.folder).filePath(".recording")));
        // Every file the manifest names exists and plays to within a second of the kill.
        QStringList files;
        for (const auto& r : doc["recordings"].toArray())
            files << r.toObject()["file"].toString();
        if (allFramesKnown) EXPECT_EQ(files.size(), 3);
        if (!doc["mic"].isNull()) files << doc["mic"].toObject()["file"].toString();
        for (const QString& f : files) {
            const QString path = QDir(o.folder).filePath(f);
            EXPECT_TRUE(QFileInfo::exists(path)) << f.toStdString();
        }
        if (allFramesKnown) {
            for (const auto& v : doc["recordings"].toArray()) {
                const QJsonObject r = v.toObject();
                const QString path = QDir(o.folder).filePath(r["file"].toString());
                const double end = r["startOffset"].toDouble() + decodedSeconds(path);
                const double lost = (o.killedAt - o.startUptime) - end;
                std::printf("lost %.3f s of %s\n", lost, qPrintable(r["file"].toString()));
                worst = std::max(worst, lost);
            }
            EXPECT_FALSE(doc["mic"].isNull());
            const QJsonObject m = doc["mic"].toObject();
            const double lost =
                (o.killedAt - o.startUptime) -
                (m["startOffset"].toDouble() + decodedSeconds(QDir(o.folder).filePath(m["file"].toString())));
            std::printf("lost %.3f s of %s\n", lost, qPrintable(m["file"].toString()));
            worst = std::max(worst, lost);
        }
        return worst;
    }

    // --recover FOLDER, then --export: both succeed, every file renamed. With `exportOnly`, the
    // export alone: it recovers the folder first.
    void recoverAndExport(const QString& folder, bool exportOnly = false) {
        QString exported;
        if (exportOnly) {
            ASSERT_NO_FATAL_FAILURE(exportFolder(folder, exported));
            EXPECT_TRUE(exported.startsWith("recovered " + folder + ": ")) << exported.toStdString();
        } else {
            QProcess r;
            r.setProcessEnvironment(env());
            r.start(loomcast(), {"--recover", folder});
            ASSERT_TRUE(r.waitForFinished(300000));
            const QString out = QString::fromUtf8(r.readAllStandardOutput());
            EXPECT_EQ(r.exitCode(), 0) << out.toStdString();
            EXPECT_TRUE(out.contains("recovered " + folder + ": ")) << out.toStdString();
        }
        EXPECT_FALSE(QFileInfo::exists(QDir(folder).filePath(".recording")));
        const QJsonObject doc = manifestOf(folder);
        ASSERT_FALSE(doc.isEmpty());
        for (const auto& v : doc["recordings"].toArray()) {
            const QJsonObject rec = v.toObject();
            EXPECT_TRUE(rec["file"].toString().contains("(+")) << rec["file"].toString().toStdString();
            EXPECT_TRUE(rec.contains("duration"));
            EXPECT_FALSE(rec["startTimecode"].toString().isEmpty());
            EXPECT_TRUE(QFileInfo::exists(QDir(folder).filePath(rec["file"].toString())));
        }
        if (!doc["mic"].isNull()) EXPECT_TRUE(doc["mic"].toObject()["file"].toString().startsWith("Mic (+"));

        if (doc["recordings"].toArray().isEmpty() || exportOnly) return;
        ASSERT_NO_FATAL_FAILURE(exportFolder(folder, exported));
        EXPECT_TRUE(exported.startsWith("exported ")) << exported.toStdString();
    }

    void exportFolder(const QString& folder, QString& output) {
        QProcess e;
        e.setProcessEnvironment(env());
        e.start(loomcast(), {"--export", folder});
        ASSERT_TRUE(e.waitForFinished(600000));
        output = QString::fromUtf8(e.readAllStandardOutput());
        EXPECT_EQ(e.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains("\nexported ") || output.startsWith("exported ")) << output.toStdString();
    }

    QTemporaryDir home;
    std::vector<std::unique_ptr<TestWindow>> windows;
};

// Whether the manifest describes all three windows with `seconds` recorded each.
bool recorded(const QString& folder, double seconds) {
    const QJsonObject doc = manifestOf(folder);
    const QJsonArray recs = doc["recordings"].toArray();
    if (recs.size() < 3 || doc["mic"].isNull()) return false;
    for (const auto& r : recs)
        if (r.toObject()["duration"].toDouble() < seconds) return false;
    return true;
}

} // namespace

TEST_F(CrashRecovery, KilledRightAfterTheStart) {
    const Outcome o = runAndKill(60, [](const QString&) { return true; });
    checkKilled(o, false);
    recoverAndExport(o.folder);
}

TEST_F(CrashRecovery, KilledMidRecordingLosesAtMostASecond) {
    // Several kills at different points of a fragment: after a manifest that says 4 s, then 4.3,
    // 4.6 … (each trigger is what the program wrote, the moment within its fragment varies).
    const int kills = qEnvironmentVariableIntValue("LC_CRASH_KILLS") > 0
                          ? qEnvironmentVariableIntValue("LC_CRASH_KILLS")
                          : 2;
    double worst = 0;
    for (int i = 0; i < kills; ++i) {
        SCOPED_TRACE(i);
        double firstFull = -1;
        const double extra = 0.3 * i;
        const Outcome o = runAndKill(60, [&](const QString& folder) {
            if (firstFull < 0 && recorded(folder, 4.0)) firstFull = uptime();
            return firstFull >= 0 && uptime() >= firstFull + extra;
        });
        const double lost = checkKilled(o, true);
        worst = std::max(worst, lost);
        // Half-second fragments, handed to the kernel as each completes, and the encoder's short
        // queue: well under a second on an idle machine (the figures above); the bound leaves
        // room for a machine so loaded that encoding lags.
        EXPECT_LE(lost, 2.5);
        // Every second folder goes straight to the export.
        recoverAndExport(o.folder, i % 2 == 1);
    }
    std::printf("worst loss over %d kills: %.3f s\n", kills, worst);
}

TEST_F(CrashRecovery, KilledDuringTheStop) {
    // The stop renames the files one by one: the kill comes with the first renamed file.
    const Outcome o = runAndKill(
        6, [](const QString& folder) { return !QDir(folder).entryList({"*(+*"}, QDir::Files).isEmpty(); });
    ASSERT_FALSE(o.folder.isEmpty());
    EXPECT_FALSE(manifestOf(o.folder).isEmpty());
    // A stop that got to its end before the kill leaves no marker: nothing to recover then.
    if (!QFileInfo::exists(QDir(o.folder).filePath(".recording")))
        GTEST_SKIP() << "the stop ended before the kill";
    recoverAndExport(o.folder);
}
