#pragma once
// The export state that the user interface, the menu and the updater watch: one export at a
// time, its progress, and how the last one ended.
#include "export/ExportEngine.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>

namespace lc {

struct ExportState {
    enum class Kind { idle, running, done, failed };
    Kind kind = Kind::idle;
    double progress = 0; // running
    QString url;         // done: the final video
    QString message;     // failed

    static ExportState idle() { return {}; }
    static ExportState running(double p) { return {Kind::running, p, {}, {}}; }
    static ExportState done(QString url) { return {Kind::done, 0, std::move(url), {}}; }
    static ExportState failed(QString message) { return {Kind::failed, 0, {}, std::move(message)}; }
    bool isRunning() const { return kind == Kind::running; }
    friend bool operator==(const ExportState&, const ExportState&) = default;
};

class ExportController : public QObject {
    Q_OBJECT
public:
    // How an export runs; tests hand in their own.
    using Runner = std::function<QCoro::Task<Result<QString>>(
        QString folder, std::function<void(double)> progress,
        std::function<void(std::shared_ptr<ExportSession>)> registerSession)>;

    // Runs ExportEngine::run on the back ends given by setBackends; without them every export
    // fails at once with a message saying so.
    explicit ExportController(QObject* parent = nullptr);
    explicit ExportController(Runner runner, QObject* parent = nullptr);
    // Cancels a running export and waits until its thread has let go of the files.
    ~ExportController() override;

    // The movie writer and media reader exports use; given by the composition root.
    void setBackends(ExportBackends backends) { backends_ = std::move(backends); }

    const ExportState& state() const { return state_; }
    const std::optional<QString>& folder() const { return folder_; }
    // The running export, so that the user interface can cancel it (cancelExport()).
    const std::shared_ptr<ExportSession>& session() const { return session_; }

    // Starts exporting `folder` unless an export runs already. Main thread only.
    void start(const QString& folder);

signals:
    void stateChanged(const lc::ExportState& state);
    void folderChanged();

private:
    void setState(ExportState s);
    QCoro::Task<> runExport(QString folder);

    ExportBackends backends_;
    Runner runner_;
    ExportState state_;
    std::optional<QString> folder_;
    std::shared_ptr<ExportSession> session_;
};

} // namespace lc
