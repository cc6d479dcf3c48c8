#include "export/ExportMode.h"

#include "common/Clock.h"
#include "export/ExportEngine.h"

#include <atomic>
#include <csignal>
#include <unistd.h>

namespace lc {
namespace {

std::atomic<ExportSession*> signalledSession{nullptr};

void cancelOnSignal(int) {
    // A lock-free store: safe in a signal handler, on whichever thread takes the signal.
    if (ExportSession* s = signalledSession.load()) s->cancelExport();
}

// While it lives, SIGINT and SIGTERM cancel the export (which then removes its partial file)
// instead of killing the process midway.
class CancelOnSignals {
public:
    explicit CancelOnSignals(ExportSession& session) {
        signalledSession = &session;
        struct sigaction sa = {};
        sa.sa_handler = cancelOnSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &oldInt_);
        sigaction(SIGTERM, &sa, &oldTerm_);
    }
    ~CancelOnSignals() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
        signalledSession = nullptr;
    }
    CancelOnSignals(const CancelOnSignals&) = delete;
    CancelOnSignals& operator=(const CancelOnSignals&) = delete;

private:
    struct sigaction oldInt_ = {};
    struct sigaction oldTerm_ = {};
};

// Straight to the file handle, unbuffered, so a supervising script sees the line at once.
void printLine(const QString& line) {
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (n <= 0) return;
        done += n;
    }
}

int report(const Result<QString>& result, double started) {
    if (!result) {
        printLine(QStringLiteral("export FAILED: ") + QString::fromStdString(result.error().message));
        return 1;
    }
    printLine(QStringLiteral("exported %1 in %2 s").arg(*result).arg(uptime() - started, 0, 'f', 3));
    return 0;
}

} // namespace

std::optional<QString> exportFolderArgument(const QStringList& arguments) {
    const qsizetype i = arguments.indexOf(QStringLiteral("--export"));
    if (i < 0 || i + 1 >= arguments.size()) return std::nullopt;
    return arguments[i + 1];
}

QCoro::Task<int> exportMode(QString folder, ExportBackends backends) {
    const double started = uptime();
    auto task = ExportEngine::run(
        folder, std::move(backends), [](double) {}, [](std::shared_ptr<ExportSession>) {});
    const Result<QString> result = co_await std::move(task);
    co_return report(result, started);
}

int runExportMode(const QString& folder, const ExportBackends& backends) {
    const double started = uptime();
    ExportSession session;
    const CancelOnSignals cancelOnSignals(session);
    return report(ExportEngine::runBlocking(folder, session, backends), started);
}

} // namespace lc
