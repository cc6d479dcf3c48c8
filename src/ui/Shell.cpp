#include "ui/Shell.h"

#include "app/update/UpdateControls.h"
#include "model/app/AppModel.h"
#include "ui/DesktopTheme.h"
#include "ui/MainWindow.h"
#include "ui/Snapshot.h"
#include "ui/Theme.h"
#include "ui/TrayItem.h"

#include "common/Detached.h"
#include "model/app/Console.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWindow>

namespace lc::ui {

Shell::Shell(AppModel& model, ExportController& exporter, update::UpdateManager* updates,
             std::function<void()> quit, std::shared_ptr<DesktopAppearance> desktop, QObject* parent)
    : QObject(parent) {
    QApplication::setQuitOnLastWindowClosed(false);
    theme_ = std::make_unique<DesktopTheme>(std::move(desktop));
    window_ = std::make_unique<MainWindow>(model, exporter, updates);
    // The application's own mark for the window list and dialogs, as the tray shows it.
    const QIcon own = QIcon::fromTheme(QStringLiteral("org.loomcast.Loomcast"), TrayItem::applicationMark());
    QApplication::setWindowIcon(own);
    window_->setWindowIcon(own);
    // The update pill's style sheet holds colours: it takes the new ones with every change.
    connect(&Theme::instance(), &Theme::changed, window_.get(), [w = window_.get()] {
        for (update::UpdatePill* pill : w->findChildren<update::UpdatePill*>())
            pill->restyle();
    });
    tray_ = std::make_unique<TrayItem>(
        model, [this] { showWindow(); }, quit);
    window_->setQuitOnClose([] { return !TrayItem::available(); });
    model.notifications().setShowWindow([self = QPointer<Shell>(this)] {
        if (self) self->showWindow();
    });
    connect(window_.get(), &MainWindow::quitRequested, this, [quit] { quit(); });
}

Shell::~Shell() = default;

namespace {

// Minimises a window as soon as it is on screen. Asked before that, the window manager sees a
// window that was already created with a normal initial state and shows it normally.
class MinimiseWhenExposed : public QObject {
public:
    explicit MinimiseWhenExposed(QWidget* widget) : QObject(widget), widget_(widget) {
        widget->windowHandle()->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose && static_cast<QWindow*>(watched)->isExposed()) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, widget_, [widget = widget_] { widget->showMinimized(); });
            deleteLater();
        }
        return false;
    }

private:
    QWidget* widget_;
};

} // namespace

void Shell::start(bool background) {
    tray_->show();
    if (background && TrayItem::available()) return;
    if (background) {
        window_->winId();                       // the native window, to watch
        new MinimiseWhenExposed(window_.get()); // owned by the window
    }
    window_->show();
}

void Shell::showWindow() {
    window_->show();
    window_->raise();
    window_->activateWindow();
}

namespace {

// Runs a snapshot mode and exits with its code; a throw is printed and exits with 1.
void runMode(QCoro::Task<int> mode, const QString& what, std::function<void(int)> exit) {
    auto ending = [](QCoro::Task<int> mode, std::function<void(int)> exit) -> QCoro::Task<> {
        exit(co_await std::move(mode));
    };
    runDetached(ending(std::move(mode), exit), what, [exit](const QString& message) {
        printLine(message);
        exit(1);
    });
}

} // namespace

bool startSnapshotMode(AppModel& model, Shell& shell, const QStringList& arguments,
                       std::function<void(int)> exit) {
    const auto path = optionValue(arguments, QStringLiteral("--snapshot"));
    if (!path) return false;
    if (const auto probe = optionValue(arguments, QStringLiteral("--probe"))) {
        runMode(snapshotProbe(model, shell.window().viewState(), *path, probe->split(u','), arguments),
                QStringLiteral("Snapshot probe"), exit);
        return true;
    }
    runMode(plainSnapshot(*path), QStringLiteral("Snapshot"), exit);
    return false;
}

} // namespace lc::ui
