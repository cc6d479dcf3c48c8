#include "ui/Shell.h"

#include "model/app/AppModel.h"
#include "ui/MainWindow.h"
#include "ui/Snapshot.h"
#include "ui/Theme.h"
#include "ui/TrayItem.h"

#include <QApplication>
#include <QTimer>
#include <QWindow>

namespace lc::ui {

Shell::Shell(AppModel& model, ExportController& exporter, update::UpdateManager* updates,
             std::function<void()> quit, QObject* parent)
    : QObject(parent) {
    QApplication::setQuitOnLastWindowClosed(false);
    Theme::apply(Theme::systemAppearance());
    window_ = std::make_unique<MainWindow>(model, exporter, updates);
    tray_ = std::make_unique<TrayItem>(
        model, [this] { showWindow(); }, quit);
    window_->setQuitOnClose([] { return !TrayItem::available(); });
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

bool startSnapshotMode(AppModel& model, const QStringList& arguments, std::function<void(int)> exit) {
    const auto path = optionValue(arguments, QStringLiteral("--snapshot"));
    if (!path) return false;
    if (const auto probe = optionValue(arguments, QStringLiteral("--probe"))) {
        [](QPointer<AppModel> model, QString path, QStringList fragments, QStringList arguments,
           std::function<void(int)> exit) -> QCoro::Task<> {
            int code = 1;
            try {
                if (model) code = co_await snapshotProbe(*model, path, fragments, arguments);
            } catch (...) {
            }
            exit(code);
        }(QPointer<AppModel>(&model), *path, probe->split(u','), arguments, exit);
        return true;
    }
    [](QString path, std::function<void(int)> exit) -> QCoro::Task<> {
        int code = 1;
        try {
            code = co_await plainSnapshot(path);
        } catch (...) {
        }
        exit(code);
    }(*path, exit);
    return false;
}

} // namespace lc::ui
