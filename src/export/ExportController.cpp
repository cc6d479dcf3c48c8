#include "export/ExportController.h"

#include "common/Detached.h"

#include <QPointer>
#include <qcoro/qcorotimer.h>

namespace lc {

ExportController::ExportController(QObject* parent)
    : ExportController(
          [this](QString folder, std::function<void(double)> progress,
                 std::function<void(std::shared_ptr<ExportSession>)> registerSession) {
              return ExportEngine::run(std::move(folder), backends_, std::move(progress),
                                       std::move(registerSession));
          },
          parent) {}

ExportController::ExportController(Runner runner, QObject* parent)
    : QObject(parent), runner_(std::move(runner)) {}

ExportController::~ExportController() {
    // A run still going on finishes without us (its callbacks hold us weakly); its thread
    // stops at the next frame and removes what it wrote.
    if (session_) {
        session_->cancelExport();
        session_->waitUntilStopped();
    }
}

void ExportController::setState(ExportState s) {
    if (s == state_) return;
    state_ = std::move(s);
    emit stateChanged(state_);
}

void ExportController::start(const QString& folder) {
    if (state_.isRunning()) return;
    folder_ = folder;
    emit folderChanged();
    setState(ExportState::running(0));
    QPointer<ExportController> self(this);
    runDetached(runExport(folder), QStringLiteral("Export"), [self](const QString& message) {
        if (!self) return;
        self->setState(ExportState::failed(message));
        self->session_.reset();
    });
}

QCoro::Task<> ExportController::runExport(QString folder) {
    QPointer<ExportController> self(this);
    // Like any task, the run begins after start() has returned, so a caller always sees
    // running(0) first, however quickly the export then fails.
    co_await QCoro::sleepFor(std::chrono::milliseconds(0));
    if (!self) co_return;
    auto progress = [self](double p) {
        // A late report never overwrites the end of a run.
        if (self && self->state_.isRunning()) self->setState(ExportState::running(p));
    };
    auto registerSession = [self](std::shared_ptr<ExportSession> s) {
        if (self) self->session_ = std::move(s);
    };
    // A throw ends this one export as failed; the controller can start the next one.
    Result<QString> result = makeError("Export failed");
    try {
        auto task = runner_(folder, progress, registerSession);
        result = co_await std::move(task);
    } catch (...) {
        result = makeError("Export failed: " + currentExceptionMessage().toStdString());
    }
    if (!self) co_return;
    if (result)
        self->setState(ExportState::done(*result));
    else
        self->setState(ExportState::failed(QString::fromStdString(result.error().message)));
    self->session_.reset();
}

} // namespace lc
