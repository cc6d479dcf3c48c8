#pragma once
#include <QByteArray>
#include <QString>

namespace lc {

// Writes through a temporary file in the same folder that then replaces the target, so a
// reader never sees a half-written file. False when anything fails; the old file stays.
bool writeFileAtomically(const QString& path, const QByteArray& bytes);

} // namespace lc
