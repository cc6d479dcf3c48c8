#include "ui/Shell.h"

#include "model/app/AppModel.h"
#include "ui/MainWindow.h"
#include "ui/Snapshot.h"
#include "ui/Theme.h"
#include "ui/TrayItem.h"

#include <QApplication>

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

void Shell::start(bool background) {
    tray_->show();
    if (!background)
        window_->show();
    else if (!TrayItem::available())
        window_->showMinimized();
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
