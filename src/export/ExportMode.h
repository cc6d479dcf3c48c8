#pragma once
// The headless "--export FOLDER" mode: one export, one line on standard output, an exit code.
#include "export/ExportEngine.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <qcoro/qcorotask.h>

namespace lc {

// The value of "--export" (the argument after its first occurrence), if any.
std::optional<QString> exportFolderArgument(const QStringList& arguments);

// Runs the export and prints "exported <file> in <seconds> s" (exit code 0) or
// "export FAILED: <message>" (exit code 1). The task form runs on the main thread's event
// loop; the blocking form needs none, and SIGINT or SIGTERM cancel it ("Export cancelled").
QCoro::Task<int> exportMode(QString folder, ExportBackends backends);
int runExportMode(const QString& folder, const ExportBackends& backends);

} // namespace lc
