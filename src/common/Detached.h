#pragma once
// Fire-and-forget coroutines. A task that nobody awaits would swallow what it throws; runDetached
// awaits it and hands the exception's one-line description to `report` instead.
#include <QString>
#include <functional>
#include <qcoro/qcorotask.h>

namespace lc {

using FailureReport = std::function<void(const QString& message)>;

// Starts `task` (already running: QCoro tasks start when called) and reports a throw through
// `report`, or to standard error when `report` is empty. `what` names the operation in the line.
void runDetached(QCoro::Task<> task, QString what, FailureReport report = {});

// The one-line description of the exception being handled; call only inside a catch block.
QString currentExceptionMessage();

} // namespace lc
