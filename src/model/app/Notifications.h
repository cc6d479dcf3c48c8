#pragma once
// What the desktop is told while the window may be out of sight: a session saved (with
// "Export" and "Show in Folder"), an export done or failed, and, once ever, that closing the
// window left the application running in the tray. Main thread only. Without a notifier (the
// command-line modes) nothing is told.
#include "export/ExportController.h"
#include "platform/Notifier.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace lc {

class DesktopActions;
class Settings;
struct SessionEnd;

class Notifications : public QObject {
    Q_OBJECT
public:
    // `recording` tells whether a session runs (no export starts from a notification then).
    // `notifier` and `desktop` may be null; the rest must outlive this.
    Notifications(std::shared_ptr<Notifier> notifier, std::shared_ptr<DesktopActions> desktop,
                  Settings& settings, ExportController& exporter, std::function<bool()> recording,
                  QObject* parent = nullptr);

    bool enabled() const { return notifier_ != nullptr; }
    // What a click on a notification itself does: the shell brings its window forward.
    void setShowWindow(std::function<void()> show) { showWindow_ = std::move(show); }

    // "Recording saved: 3 windows, 02:31".
    static QString savedSummary(int windows, double seconds);

    // The application is ending: nothing more is told, no action would find anyone to answer.
    void silence() {
        notifier_.reset();
        showWindow_ = nullptr;
    }

    void sessionEnded(const SessionEnd& end);
    // The window was closed and the application goes on in the tray.
    void closedToTray(bool recording);

private:
    void exportChanged(const ExportState& state);
    void show(Notification notification, std::function<void(const QString& key)> action,
              std::function<void(bool)> shown = {});

    std::shared_ptr<Notifier> notifier_;
    std::shared_ptr<DesktopActions> desktop_;
    Settings& settings_;
    ExportController& exporter_;
    std::function<bool()> recording_;
    std::function<void()> showWindow_;
    ExportState::Kind lastExport_ = ExportState::Kind::idle;
    bool trayNoteAsked_ = false;
};

} // namespace lc
