#pragma once
// Pictures of the application's own user interface, and the command-line modes that take them:
// "--snapshot PATH" alone photographs the main window; with "--probe" it first picks test
// windows, opens a popover or the settings page if asked ("--open"), records them ("--record"),
// shows the newest session's export failed or at some point ("--show-export failed|running:F"),
// in the chosen appearance ("--appearance"), and photographs every own window from the screen.
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <optional>
#include <qcoro/qcorotask.h>
#include <vector>

namespace lc {
class AppModel;
}

namespace lc::ui {

class ViewState;

// --- Screenshot operations (each returns a short result text and never fails outward) --------
// (The third, of the chosen windows with their outlines, is cli::screenshotWindows.)

// Renders the first own window wider and taller than 300 points into a PNG: "ok WxH", "no view",
// "no bitmap rep", "png failed", "write failed: …", or "no window; windows=[title|vis=…|WxH]…".
QString snapshotMainWindow(const QString& path);

// This application's own windows from the screen, cropped to their union; with $LC_RAW_SHOT
// the whole display too. "ok windows=N WxH display=(…) union=(…) img=WxH", "no own windows",
// "capture failed", "crop failed", "png failed" or "no content".
QString screenshotOwnWindows(AppModel& model, const QString& path);

// --- Command-line options --------------------------------------------------------------------

// The argument after the first occurrence of `option`; absent when the option is missing or last.
std::optional<QString> optionValue(const QStringList& arguments, const QString& option);
// Comma-separated decimal integers with an optional sign; other and empty pieces are dropped.
std::vector<int> indexList(const QString& value);

// --- Modes (run on the main thread; each returns the process's exit code) ---------------------

// "--snapshot" with "--probe": `fragments` are the probe value split at commas. Prints a
// "state: …" line (session, export bar, banner) and then the screenshot's result.
QCoro::Task<int> snapshotProbe(AppModel& model, ViewState& view, QString path, QStringList fragments,
                               QStringList arguments);
// "--snapshot" alone: waits 3 s and photographs the main window.
QCoro::Task<int> plainSnapshot(QString path);

} // namespace lc::ui
