#pragma once
#include "common/Result.h"

#include <QByteArray>
#include <QString>

namespace lc {

// Replaces `path` so that a reader, a crash or a power cut never meets a half-written file: the
// bytes go to a temporary file in the same folder, which is synced, renamed over the target, and
// the folder synced. On failure the old file stays as it was and the error names the cause.
Result<void> writeFileDurably(const QString& path, const QByteArray& bytes);

// writeFileDurably for callers that only need to know whether it worked.
bool writeFileAtomically(const QString& path, const QByteArray& bytes);

} // namespace lc
