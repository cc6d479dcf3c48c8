#include "ui/Snapshot.h"

#include "capture/Timecode.h"
#include "common/Files.h"
#include "export/ExportEngine.h"
#include "model/app/AppModel.h"
#include "model/app/Console.h"
#include "ui/ExportBar.h"
#include "ui/MainWindow.h"
#include "ui/SettingsView.h"
#include "ui/Theme.h"
#include "ui/ViewState.h"

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QRegularExpression>
#include <QWidget>
#include <qcoro/qcorotimer.h>

#include <chrono>
#include <cmath>

namespace lc::ui {

namespace {

using namespace std::chrono_literals;

// Own top-level windows, the main window first.
QList<QWidget*> ownWindows() {
    QList<QWidget*> windows;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->windowType() == Qt::Desktop || w->windowType() == Qt::ToolTip) continue;
        if (w->objectName() == QLatin1String("main"))
            windows.prepend(w);
        else
            windows.append(w);
    }
    return windows;
}

std::optional<QByteArray> encodePng(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) return std::nullopt;
    return bytes;
}

QImage toImage(const BgraFrame& frame) {
    // Little-endian BGRA is Qt's 0xAARRGGBB; alpha is not meaningful for X11 pixels.
    const QImage view(frame.data, frame.width, frame.height, frame.stride, QImage::Format_RGB32);
    return view.copy();
}

QString number(double v) {
    return QString::number(v, 'f', 1);
}

QString rectText(const Rect& r) {
    return u'(' + number(r.x) + QStringLiteral(", ") + number(r.y) + QStringLiteral(", ") + number(r.width) +
           QStringLiteral(", ") + number(r.height) + u')';
}

Rect unite(const Rect& a, const Rect& b) {
    if (a.isEmpty()) return b;
    const double l = std::min(a.x, b.x), t = std::min(a.y, b.y);
    const double r = std::max(a.maxX(), b.maxX()), bt = std::max(a.maxY(), b.maxY());
    return {l, t, r - l, bt - t};
}

void bringForward() {
    for (QWidget* w : ownWindows()) {
        if (!w->isVisible() || w->width() <= 300) continue;
        w->raise();
        w->activateWindow();
    }
}

MainWindow* mainWindow() {
    const QList<QWidget*> windows = ownWindows();
    return windows.isEmpty() ? nullptr : qobject_cast<MainWindow*>(windows.front());
}

// What the picture shows, for whoever checks it: "state: recording 00:04 export=running 42%
// banner=shown", with " page=settings" while the settings page stands in for the content.
QString stateLine(AppModel& model) {
    const SessionController& session = model.session();
    QString line = QStringLiteral("state: ") +
                   (session.isRecording() ? QStringLiteral("recording ") + formatTime(session.elapsed())
                                          : QStringLiteral("idle"));
    const MainWindow* window = mainWindow();
    const ExportBar* bar = window ? window->exportBar() : nullptr;
    line += QStringLiteral(" export=");
    if (!bar || !bar->isVisible()) {
        line += QStringLiteral("hidden");
    } else if (bar->percentLabel()->isVisible()) {
        line += QStringLiteral("running ") + bar->percentLabel()->text();
    } else if (bar->messageLabel()->isVisible()) {
        line += QStringLiteral("failed ") + bar->messageLabel()->text();
    } else {
        line += QStringLiteral("offered");
    }
    line += QStringLiteral(" banner=") +
            (window && window->banner()->isVisible() ? QStringLiteral("shown") : QStringLiteral("hidden"));
    if (window && window->settingsView() && window->settingsView()->isVisible())
        line += QStringLiteral(" page=settings");
    return line;
}

// "--show-export failed": the newest session's export, run to its end; "--show-export
// running:0.42": its picture at that point.
QCoro::Task<> showExport(AppModel& model, QString how) {
    QPointer<AppModel> self(&model);
    const QStringList folders = ExportEngine::recentSessions(model.sessionsRoot(), 1);
    if (folders.isEmpty()) co_return;
    if (how.startsWith(QLatin1String("running:"))) {
        bool ok = false;
        const double fraction = how.mid(8).toDouble(&ok);
        MainWindow* window = mainWindow();
        if (ok && window) window->exportBar()->showPreview(folders.front(), fraction);
        co_return;
    }
    model.exporter().start(folders.front());
    for (int i = 0; i < 600 && self && model.exporter().state().isRunning(); ++i)
        co_await QCoro::sleepFor(100ms);
}

Preset presetAt(const std::vector<int>& indices, int position) {
    const auto& table = Preset::builtIn();
    const int index = position < int(indices.size()) ? indices[std::size_t(position)] : 1;
    // Indices outside the table fall back to the default of the option.
    return (index >= 0 && index < int(table.size())) ? table[std::size_t(index)] : table[1];
}

} // namespace

std::optional<QString> optionValue(const QStringList& arguments, const QString& option) {
    const qsizetype at = arguments.indexOf(option);
    if (at < 0 || at + 1 >= arguments.size()) return std::nullopt;
    return arguments[at + 1];
}

std::vector<int> indexList(const QString& value) {
    static const QRegularExpression integer(QStringLiteral("^[+-]?[0-9]+$"));
    std::vector<int> out;
    for (const QString& piece : value.split(u',')) {
        if (!integer.match(piece).hasMatch()) continue;
        bool ok = false;
        const int n = (piece.startsWith(u'+') ? piece.mid(1) : piece).toInt(&ok, 10);
        if (ok) out.push_back(n);
    }
    return out;
}

// --- Screenshot operations -------------------------------------------------------------------

QString snapshotMainWindow(const QString& path) {
    QWidget* chosen = nullptr;
    QString windows;
    for (QWidget* w : ownWindows()) {
        windows += u'[' + w->windowTitle() + QStringLiteral("|vis=") +
                   (w->isVisible() ? QStringLiteral("true") : QStringLiteral("false")) + u'|' +
                   QString::number(w->width()) + u'x' + QString::number(w->height()) + u']';
        if (!chosen && w->width() > 300 && w->height() > 300) chosen = w;
    }
    if (!chosen) return QStringLiteral("no window; windows=") + windows;
    const QPixmap pixmap = chosen->grab();
    if (pixmap.isNull()) return QStringLiteral("no bitmap rep");
    const auto png = encodePng(pixmap.toImage());
    if (!png) return QStringLiteral("png failed");
    if (!writeFileAtomically(path, *png)) return QStringLiteral("write failed: cannot write ") + path;
    return QStringLiteral("ok ") + QString::number(pixmap.width()) + u'x' + QString::number(pixmap.height());
}

QString screenshotOwnWindows(AppModel& model, const QString& path) {
    std::vector<std::uint32_t> ids;
    Rect united;
    for (QWidget* w : ownWindows()) {
        if (!w->isVisible() || w->width() <= 30 || w->height() <= 30) continue;
        const QRect g = w->geometry();
        ids.push_back(std::uint32_t(w->winId()));
        united = unite(united, Rect{double(g.x()), double(g.y()), double(g.width()), double(g.height())});
    }
    if (ids.empty()) return QStringLiteral("no own windows");

    const auto& capture = model.services().capture;
    if (!capture) return QStringLiteral("no content");
    auto content = capture->shareableContent(true);
    if (!content.ok() || content.value().displays.empty()) return QStringLiteral("no content");
    ShareableDisplay display = content.value().displays.front();
    const Point centre{united.midX(), united.midY()};
    for (const ShareableDisplay& d : content.value().displays) {
        if (d.frame.contains(centre)) {
            display = d;
            break;
        }
    }
    auto shot = capture->screenshotDisplay(display.displayID, ids, int(display.frame.width * 2),
                                           int(display.frame.height * 2));
    if (!shot.ok()) return QStringLiteral("capture failed");
    const QImage full = toImage(*shot.value());
    const double sx = full.width() / display.frame.width, sy = full.height() / display.frame.height;
    const QRect crop = QRect(int(std::floor((united.x - display.frame.x) * sx)),
                             int(std::floor((united.y - display.frame.y) * sy)),
                             int(std::ceil(united.width * sx)), int(std::ceil(united.height * sy)))
                           .intersected(full.rect());
    if (crop.isEmpty()) return QStringLiteral("crop failed");
    const auto png = encodePng(full.copy(crop));
    if (!png || !writeFileAtomically(path, *png)) return QStringLiteral("png failed");
    if (const QByteArray raw = qgetenv("LC_RAW_SHOT"); !raw.isEmpty()) {
        if (const auto rawPng = encodePng(full)) writeFileAtomically(QString::fromLocal8Bit(raw), *rawPng);
    }
    return QStringLiteral("ok windows=") + QString::number(ids.size()) + u' ' +
           QString::number(crop.width()) + u'x' + QString::number(crop.height()) +
           QStringLiteral(" display=") + rectText(display.frame) + QStringLiteral(" union=") +
           rectText(united) + QStringLiteral(" img=") + QString::number(full.width()) + u'x' +
           QString::number(full.height());
}

// --- Modes -----------------------------------------------------------------------------------

QCoro::Task<int> snapshotProbe(AppModel& model, ViewState& view, QString path, QStringList fragments,
                               QStringList arguments) {
    QPointer<AppModel> self(&model);
    QPointer<ViewState> shown(&view);
    model.settings().setEphemeral(true);
    if (const auto appearance = optionValue(arguments, QStringLiteral("--appearance")))
        Theme::apply(Theme::fromOption(*appearance));
    const auto only = optionValue(arguments, QStringLiteral("--only"));
    model.windows().setDemoFilter(only ? only->split(u',') : fragments);
    const std::vector<int> presets =
        indexList(optionValue(arguments, QStringLiteral("--presets")).value_or(QString()));

    co_await QCoro::sleepFor(2500ms);
    if (!self || !shown) co_return 1;
    co_await model.windows().refresh(true);
    if (!self || !shown) co_return 1;

    model.clearEntries();
    for (int i = 0; i < fragments.size(); ++i) {
        model.settings().setLastPreset(presetAt(presets, i));
        for (const LiveWindow& w : model.windows().live()) {
            if (w.title.contains(fragments[i], Qt::CaseSensitive)) {
                model.add(w);
                break;
            }
        }
    }

    co_await QCoro::sleepFor(4000ms);
    if (!self || !shown) co_return 1;
    co_await model.windows().refresh(true);
    if (!self || !shown) co_return 1;
    co_await QCoro::sleepFor(1000ms);
    if (!self || !shown) co_return 1;

    if (const auto open = optionValue(arguments, QStringLiteral("--open"))) {
        if (*open == QLatin1String("preset")) {
            view.setPresetPopoverFor(model.windows().entries().empty()
                                         ? std::nullopt
                                         : std::optional<QUuid>(model.windows().entries().front().id));
        } else if (open->startsWith(QLatin1String("settings"))) {
            std::optional<QString> focus;
            const qsizetype colon = open->indexOf(u':');
            if (colon >= 0) {
                for (const QString& piece : open->mid(colon + 1).split(u':')) {
                    if (!piece.isEmpty()) {
                        focus = piece;
                        break;
                    }
                }
            }
            view.setSettingsFocus(focus);
            view.setShowSettings(true);
        } else if (*open == QLatin1String("history")) {
            view.setShowHistory(true);
        }
        co_await QCoro::sleepFor(1500ms);
        if (!self || !shown) co_return 1;
    }

    // A session of the chosen windows, a few seconds old, as a user sees it running.
    const bool record = arguments.contains(QStringLiteral("--record"));
    if (record) {
        co_await model.session().start();
        if (!self || !shown) co_return 1;
        for (int i = 0; i < 240 && model.session().isRecording() && model.session().elapsed() < 3; ++i) {
            co_await QCoro::sleepFor(250ms);
            if (!self || !shown) co_return 1;
        }
    }
    if (const auto how = optionValue(arguments, QStringLiteral("--show-export"))) {
        co_await showExport(model, *how);
        if (!self || !shown) co_return 1;
    }

    QString result;
    for (int attempt = 1;; ++attempt) {
        bringForward();
        co_await QCoro::sleepFor(1000ms);
        if (!self || !shown) co_return 1;
        result = screenshotOwnWindows(model, path);
        if (result.startsWith(QLatin1String("ok")) || attempt == 5) break;
    }
    printLine(stateLine(model));
    // The session's files are finished before the process ends.
    if (record) co_await model.session().stop();
    if (!self) co_return 1;
    printLine(result);
    co_return 0;
}

QCoro::Task<int> plainSnapshot(QString path) {
    co_await QCoro::sleepFor(3000ms);
    printLine(snapshotMainWindow(path));
    co_return 0;
}

} // namespace lc::ui
