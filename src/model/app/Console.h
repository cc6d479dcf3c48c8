#pragma once
// Lines for a supervising script: written straight to standard output, unbuffered.
#include <QString>

namespace lc {

void printLine(const QString& line);

} // namespace lc
