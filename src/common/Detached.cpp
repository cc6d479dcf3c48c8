#include "common/Detached.h"

#include <cstdio>
#include <exception>

namespace lc {

namespace {

QCoro::Task<> watch(QCoro::Task<> task, QString what, FailureReport report) {
    QString message;
    try {
        co_await std::move(task);
        co_return;
    } catch (...) {
        message = what + QStringLiteral(" failed: ") + currentExceptionMessage();
    }
    if (report) {
        report(message);
    } else {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    }
}

} // namespace

void runDetached(QCoro::Task<> task, QString what, FailureReport report) {
    // The watcher itself cannot throw past its catch, so dropping its handle is safe.
    [[maybe_unused]] auto watcher = watch(std::move(task), std::move(what), std::move(report));
}

QString currentExceptionMessage() {
    try {
        throw;
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

} // namespace lc
