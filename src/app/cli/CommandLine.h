#pragma once
// Reading the command line: whole-string options, the value after an option's first
// occurrence, and the comma-separated lists the self-tests take.
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace lc::cli {

// Whether `option` is one of the arguments (the program name aside).
bool has(const QStringList& arguments, const QString& option);
// The argument after the first occurrence of `option`; nothing when it is absent or last.
std::optional<QString> value(const QStringList& arguments, const QString& option);

// Split at every comma, empty pieces kept.
QStringList fragments(const QString& value);
// Split at every comma; pieces that are not decimal integers (sign allowed) are dropped.
std::vector<int> indexList(const QString& value);
// A preset index: absent, empty or not an integer gives `fallback`.
int presetIndex(const std::optional<QString>& value, int fallback = 1);
// The session length in seconds: absent or unreadable gives 30; not finite gives nothing.
std::optional<double> duration(const std::optional<QString>& value);

} // namespace lc::cli
