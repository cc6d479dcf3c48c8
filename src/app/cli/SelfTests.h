#pragma once
// The unattended command-line modes that drive the model like a user would: the permission
// probe, the two-window and the multi-window recording self-tests. They print plain lines on
// standard output and yield the process's exit code.
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <qcoro/qcorotask.h>

namespace lc {
class AppModel;
class ScreenCapture;
class WindowControl;
} // namespace lc

namespace lc::cli {

// "screenRecording=true accessibility=false"; either service may be missing (no display).
QString selftestLine(ScreenCapture* capture, WindowControl* control);

struct SelfTestHooks {
    // Photographs the main window into a PNG and returns a result text; the user interface
    // provides it. Without it that step does nothing.
    std::function<QString(const QString& path)> snapshotMainWindow;
};

QCoro::Task<int> selfTestRecord(QPointer<AppModel> model, QStringList arguments, SelfTestHooks hooks = {});
QCoro::Task<int> selfTestMulti(QPointer<AppModel> model, QStringList arguments);

// The first display at twice its size with only the chosen windows (titles containing one of
// `titles`) and this application's outlines, written as PNG. "ok windows=N", "capture failed",
// "png failed" or "no content".
QString screenshotWindows(AppModel& model, const QStringList& titles, const QString& path);

} // namespace lc::cli
