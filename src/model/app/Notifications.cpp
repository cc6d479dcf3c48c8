#include "model/app/Notifications.h"

#include "capture/Timecode.h"
#include "model/app/SessionController.h"
#include "model/app/Settings.h"
#include "platform/DesktopActions.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

namespace lc {

namespace {

const QString kDefault = QStringLiteral("default");

// "~/Videos/Loomcast/2024-05-02 14-05-10".
QString shortPath(const QString& path) {
    const QString home = QDir::homePath();
    const QString clean = QDir::cleanPath(path);
    if (clean.startsWith(home + u'/')) return u'~' + clean.mid(home.size());
    return clean;
}

} // namespace

Notifications::Notifications(std::shared_ptr<Notifier> notifier, std::shared_ptr<DesktopActions> desktop,
                             Settings& settings, ExportController& exporter, std::function<bool()> recording,
                             QObject* parent)
    : QObject(parent), notifier_(std::move(notifier)), desktop_(std::move(desktop)), settings_(settings),
      exporter_(exporter), recording_(std::move(recording)) {
    connect(&exporter_, &ExportController::stateChanged, this, &Notifications::exportChanged);
}

QString Notifications::savedSummary(int windows, double seconds) {
    const QString count =
        windows == 1 ? QStringLiteral("1 window") : QStringLiteral("%1 windows").arg(windows);
    return QStringLiteral("Recording saved: ") + count + QStringLiteral(", ") + formatTime(seconds);
}

void Notifications::show(Notification notification, std::function<void(const QString&)> action,
                         std::function<void(bool)> shown) {
    if (!notifier_) return;
    // A click on the notification itself brings the window forward.
    notification.actions.insert(notification.actions.begin(), {kDefault, QStringLiteral("Show Loomcast")});
    QPointer<Notifications> self(this);
    Notifier::Handlers handlers;
    handlers.action = [self, action = std::move(action)](const QString& key) {
        if (!self) return;
        if (key == kDefault) {
            if (self->showWindow_) self->showWindow_();
        } else if (action) {
            action(key);
        }
    };
    handlers.shown = std::move(shown);
    notifier_->show(std::move(notification), std::move(handlers));
}

void Notifications::sessionEnded(const SessionEnd& end) {
    Notification n;
    QString body = shortPath(end.folder);
    if (end.problem) body = *end.problem + u'\n' + body;
    n.body = body;
    if (end.windows == 0) {
        // Nothing to export; only a stop that went wrong is worth telling.
        if (!end.problem) return;
        n.summary = QStringLiteral("Recording stopped");
        n.urgency = Notification::Urgency::critical;
        show(std::move(n), {});
        return;
    }
    n.summary = savedSummary(end.windows, end.seconds);
    n.actions = {{QStringLiteral("export"), QStringLiteral("Export")},
                 {QStringLiteral("folder"), QStringLiteral("Show in Folder")}};
    const QString folder = end.folder;
    show(std::move(n), [this, folder](const QString& key) {
        if (key == QLatin1String("export")) {
            // As the export buttons, not during a session nor beside another export.
            if (!recording_() && !exporter_.state().isRunning()) exporter_.start(folder);
        } else if (key == QLatin1String("folder") && desktop_) {
            desktop_->openFolder(folder);
        }
    });
}

void Notifications::exportChanged(const ExportState& state) {
    const bool wasRunning = lastExport_ == ExportState::Kind::running;
    lastExport_ = state.kind;
    if (!wasRunning) return;
    if (state.kind == ExportState::Kind::done) {
        Notification n;
        n.summary = QStringLiteral("Final video exported");
        n.body = QFileInfo(state.url).fileName() + u'\n' + shortPath(QFileInfo(state.url).absolutePath());
        n.category = QStringLiteral("transfer.complete");
        n.actions = {{QStringLiteral("reveal"), QStringLiteral("Show in Folder")}};
        const QString file = state.url;
        show(std::move(n), [this, file](const QString& key) {
            if (key == QLatin1String("reveal") && desktop_) desktop_->revealFile(file);
        });
    } else if (state.kind == ExportState::Kind::failed) {
        // The user's own cancel needs no word; the run still holds its session while it ends.
        if (const auto& session = exporter_.session(); session && session->isCancelled()) return;
        Notification n;
        n.summary = QStringLiteral("Export failed");
        n.body = state.message;
        n.category = QStringLiteral("transfer.error");
        n.urgency = Notification::Urgency::critical;
        const std::optional<QString> folder = exporter_.folder();
        if (folder) n.actions = {{QStringLiteral("retry"), QStringLiteral("Try Again")}};
        show(std::move(n), [this, folder](const QString& key) {
            if (key == QLatin1String("retry") && folder && !recording_() && !exporter_.state().isRunning())
                exporter_.start(*folder);
        });
    }
}

void Notifications::closedToTray(bool recording) {
    if (!notifier_ || settings_.trayNoteShown() || trayNoteAsked_) return;
    trayNoteAsked_ = true;
    Notification n;
    n.summary = QStringLiteral("Loomcast is still running");
    n.body =
        recording
            ? QStringLiteral("The recording goes on. Stop it or open Loomcast from its icon in the tray.")
            : QStringLiteral("Open Loomcast again or quit it from its icon in the tray.");
    n.urgency = Notification::Urgency::low;
    QPointer<Notifications> self(this);
    show(std::move(n), {}, [self](bool shown) {
        if (!self) return;
        // Told once ever; a desktop that could not show it gets another chance next time.
        self->trayNoteAsked_ = false;
        if (shown) self->settings_.setTrayNoteShown(true);
    });
}

} // namespace lc
