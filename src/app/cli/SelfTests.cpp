#include "app/cli/SelfTests.h"

#include "app/cli/CommandLine.h"
#include "app/cli/Termination.h"
#include "model/app/AppModel.h"
#include "model/app/Console.h"
#include "windows/WindowResizer.h"

#include <QDateTime>
#include <QDir>
#include <QImage>
#include <chrono>
#include <qcoro/qcorotimer.h>

namespace lc::cli {

namespace {

QString boolText(bool b) {
    return b ? QStringLiteral("true") : QStringLiteral("false");
}

QCoro::Task<> sleep(double seconds) {
    co_await QCoro::sleepFor(std::chrono::milliseconds(qint64(seconds * 1000)));
}

// Records for `seconds`, or less when the session ends by itself (a full disk). A termination
// (SIGTERM) stops the session too; it then finishes the files and ends the process on its own,
// so the test waits for it instead of going on to a stop of its own.
QCoro::Task<> recordFor(QPointer<AppModel> model, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(qint64(seconds * 1000));
    while (model && model->session().isRecording() && std::chrono::steady_clock::now() < end)
        co_await sleep(0.1);
    while (model && isTerminating())
        co_await sleep(0.1);
}

QString epochText(const QDateTime& date) {
    return QString::number(double(date.toMSecsSinceEpoch()) / 1000.0, 'f', 3);
}

std::optional<LiveWindow> firstWithTitle(const AppModel& m, const QString& fragment) {
    for (const LiveWindow& w : m.windows().live()) {
        if (w.title.contains(fragment, Qt::CaseSensitive)) return w;
    }
    return std::nullopt;
}

QString firstLine(AppModel& m) {
    const AppServices& s = m.services();
    return selftestLine(s.capture.get(), s.control.get()) + QStringLiteral(" micAuth=") +
           QString::number(int(m.mic().monitor().authorization()));
}

int fail(const QString& why, int code) {
    printLine(QStringLiteral("FAIL: ") + why);
    return code;
}

QString noticeText(const AppModel& m) {
    return m.notice().value_or(QStringLiteral("-"));
}

void printStarted(AppModel& m) {
    printLine(QStringLiteral("sessionStartEpoch=") + epochText(m.session().sessionDate()));
    printLine(QStringLiteral("started session ") + m.session().sessionDir().value_or(QStringLiteral("?")));
}

} // namespace

QString selftestLine(ScreenCapture* capture, WindowControl* control) {
    return QStringLiteral("screenRecording=") + boolText(capture && capture->isCaptureAvailable()) +
           QStringLiteral(" accessibility=") + boolText(control && control->isTrusted());
}

QCoro::Task<int> selfTestRecord(QPointer<AppModel> model, QStringList arguments, SelfTestHooks hooks) {
    if (!model) co_return 1;
    AppModel& m = *model;
    printLine(firstLine(m));
    if (!m.windows().screenOK()) co_return fail(QStringLiteral("screen recording not granted"), 2);
    const auto selA = value(arguments, QStringLiteral("--sel-a"));
    const auto selB = value(arguments, QStringLiteral("--sel-b"));
    if (!selA || !selB) co_return fail(QStringLiteral("need --sel-a and --sel-b"), 3);

    co_await sleep(1);
    if (!model) co_return 1;
    co_await m.windows().refresh(true);
    if (!model) co_return 1;
    const auto a = firstWithTitle(m, *selA);
    const auto b = firstWithTitle(m, *selB);
    if (!a || !b)
        co_return fail(
            QStringLiteral("test windows not found (") + *selA + QStringLiteral(" / ") + *selB + u')', 3);
    printLine(QStringLiteral("using: ") + a->appName + u'/' + a->title + QStringLiteral(" and ") +
              b->appName + u'/' + b->title);

    m.clearEntries();
    m.settings().setLastPreset(Preset::builtIn()[0]);
    m.settings().setMicEnabled(true);
    co_await sleep(1.5);
    if (!model) co_return 1;
    printLine(QStringLiteral("mic running=") + boolText(m.mic().monitor().isRunning()) +
              QStringLiteral(" enabled=") + boolText(m.settings().micEnabled()));

    m.add(*a);
    co_await m.session().start();
    if (!model) co_return 1;
    printStarted(m);

    co_await sleep(3);
    if (!model) co_return 1;
    m.settings().setLastPreset(Preset::builtIn()[1]);
    m.add(*b);

    co_await sleep(5);
    if (!model) co_return 1;
    if (m.session().sessionDir() && hooks.snapshotMainWindow)
        hooks.snapshotMainWindow(
            QDir(*m.session().sessionDir()).filePath(QStringLiteral("Loomcast-main-window.png")));

    co_await sleep(6);
    if (!model) co_return 1;
    co_await m.session().stop();
    if (!model) co_return 1;
    printLine(QStringLiteral("stopped; folder: ") + m.session().sessionDir().value_or(QStringLiteral("?")));
    QStringList warnings;
    for (const Entry& e : m.windows().entries())
        warnings << e.appName + QStringLiteral(": ") + e.warning.value_or(QStringLiteral("none"));
    printLine(QStringLiteral("warnings: ") + warnings.join(QStringLiteral(" | ")));
    co_return 0;
}

QCoro::Task<int> selfTestMulti(QPointer<AppModel> model, QStringList arguments) {
    if (!model) co_return 1;
    AppModel& m = *model;
    printLine(firstLine(m));
    const auto sel = value(arguments, QStringLiteral("--sel"));
    if (!m.windows().screenOK() || !sel) co_return fail(QStringLiteral("args/permission"), 2);

    const QStringList frags = fragments(*sel);
    const int preset = presetIndex(value(arguments, QStringLiteral("--preset")));
    const auto presetsArg = value(arguments, QStringLiteral("--presets"));
    const std::vector<int> presets = presetsArg ? indexList(*presetsArg) : std::vector<int>{};
    const std::optional<double> length = duration(value(arguments, QStringLiteral("--dur")));
    const int table = int(Preset::builtIn().size());
    const auto inTable = [table](int i) { return i >= 0 && i < table; };
    if (frags.size() < 2) co_return fail(QStringLiteral("--sel needs at least two title fragments"), 2);
    if (!length) co_return fail(QStringLiteral("--dur must be a finite number of seconds"), 2);
    if (!inTable(preset)) co_return fail(QStringLiteral("--preset must be 0 to %1").arg(table - 1), 2);
    for (int p : presets) {
        if (!inTable(p)) co_return fail(QStringLiteral("--presets must be 0 to %1").arg(table - 1), 2);
    }

    co_await sleep(1);
    if (!model) co_return 1;
    co_await m.windows().refresh(true);
    if (!model) co_return 1;

    std::vector<LiveWindow> picked;
    for (const QString& f : frags) {
        const auto w = firstWithTitle(m, f);
        if (!w) co_return fail(QStringLiteral("window not found: ") + f, 3);
        picked.push_back(*w);
    }

    const AppServices& s = m.services();
    if (s.control && s.server) {
        const WindowResizer::Services rs{*s.control, *s.server};
        for (const LiveWindow& w : picked)
            printLine(QStringLiteral("diag: ") + QString::fromStdString(WindowResizer::diagnose(rs, w.sc)));
    }
    const auto content = s.capture->shareableContent(true);
    printLine(content.ok() ? QStringLiteral("SC ok")
                           : QStringLiteral("SC error: ") + QString::fromStdString(content.error().message));
    QStringList using_;
    for (const LiveWindow& w : picked)
        using_ << w.appName + u'/' + w.title;
    printLine(QStringLiteral("using: ") + using_.join(QStringLiteral(" | ")));

    m.clearEntries();
    m.settings().setLastPreset(Preset::builtIn()[std::size_t(preset)]);
    if (has(arguments, QStringLiteral("--no-outline"))) {
        m.settings().setShowOutline(false);
        m.refreshOutlines();
    }
    if (const auto c = value(arguments, QStringLiteral("--container"))) m.settings().setContainer(*c);
    m.settings().setMicEnabled(true);
    co_await sleep(1.5);
    if (!model) co_return 1;

    printLine(QStringLiteral("mic running=") + boolText(m.mic().monitor().isRunning()));
    const auto applyPreset = [&](std::size_t i) {
        if (i < presets.size()) m.settings().setLastPreset(Preset::builtIn()[std::size_t(presets[i])]);
    };
    for (std::size_t i = 0; i < 2 && i < picked.size(); ++i) {
        applyPreset(i);
        m.add(picked[i]);
    }
    co_await sleep(3.5);
    if (!model) co_return 1;

    co_await m.session().start();
    if (!model) co_return 1;
    if (!m.session().isRecording()) co_return fail(QStringLiteral("not started: ") + noticeText(m), 4);
    printStarted(m);

    double joined = 0;
    for (std::size_t i = 2; i < picked.size(); ++i) {
        co_await recordFor(model, 3);
        if (!model) co_return 1;
        applyPreset(i);
        m.add(picked[i]);
        printLine(QStringLiteral("added ") + picked[i].appName + QStringLiteral(" at ") +
                  epochText(QDateTime::currentDateTime()));
        joined += 3;
    }

    const double d = *length;
    if (const auto shot = value(arguments, QStringLiteral("--shot"))) {
        co_await recordFor(model, 2);
        if (!model) co_return 1;
        printLine(QStringLiteral("shot: ") + screenshotWindows(m, frags, *shot));
        co_await recordFor(model, std::max(d - 1 - (joined + 2), 0.5));
    } else {
        co_await recordFor(model, std::max(d - 1 - joined, 0.5));
    }
    if (!model) co_return 1;

    co_await m.session().stop();
    if (!model) co_return 1;
    printLine(QStringLiteral("stopped; folder: ") + m.session().sessionDir().value_or(QStringLiteral("?")));
    // Callers read the notes as the last line.
    printLine(QStringLiteral("notice: ") + noticeText(m));
    QStringList notes;
    for (const Entry& e : m.windows().entries())
        notes << e.appName + QStringLiteral(": ") + e.note.value_or(QStringLiteral("-")) +
                     QStringLiteral(" / ") + e.warning.value_or(QStringLiteral("-"));
    printLine(QStringLiteral("notes: ") + notes.join(QStringLiteral(" | ")));
    co_return 0;
}

QString screenshotWindows(AppModel& model, const QStringList& titles, const QString& path) {
    const AppServices& s = model.services();
    const auto content =
        s.capture ? s.capture->shareableContent(true) : Result<ShareableContent>(makeError("none"));
    if (!content.ok() || content->displays.empty()) return QStringLiteral("no content");
    const ShareableDisplay& display = content->displays.front();

    std::vector<std::uint32_t> ids;
    for (const Entry& e : model.windows().entries()) {
        if (!e.windowID) continue;
        if (const auto overlay = model.outlines().overlayFor(*e.windowID)) ids.push_back(*overlay);
    }
    for (const ShareableWindow& w : content->windows) {
        if (!w.title) continue;
        const QString title = QString::fromStdString(*w.title);
        for (const QString& t : titles) {
            if (!t.isEmpty() && title.contains(t)) {
                ids.push_back(w.windowID);
                break;
            }
        }
    }
    const auto picture = s.capture->screenshotDisplay(display.displayID, ids, int(display.frame.width * 2),
                                                      int(display.frame.height * 2));
    if (!picture.ok() || !picture.value()) return QStringLiteral("capture failed");
    const BgraFrame& f = *picture.value();
    const QImage image(f.data, f.width, f.height, f.stride, QImage::Format_RGB32);
    if (!image.save(path, "PNG")) return QStringLiteral("png failed");
    return QStringLiteral("ok windows=") + QString::number(ids.size());
}

} // namespace lc::cli
