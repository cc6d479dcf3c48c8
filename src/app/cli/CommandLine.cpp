#include "app/cli/CommandLine.h"

#include <QRegularExpression>
#include <cmath>

namespace lc::cli {

namespace {

std::optional<int> integer(const QString& text) {
    static const QRegularExpression form(QStringLiteral("^[+-]?[0-9]+$"));
    if (!form.match(text).hasMatch()) return std::nullopt;
    bool ok = false;
    const int v = text.toInt(&ok);
    return ok ? std::optional(v) : std::nullopt;
}

} // namespace

bool has(const QStringList& arguments, const QString& option) {
    return arguments.indexOf(option, 1) >= 0;
}

std::optional<QString> value(const QStringList& arguments, const QString& option) {
    const qsizetype i = arguments.indexOf(option, 1);
    if (i < 0 || i + 1 >= arguments.size()) return std::nullopt;
    return arguments[i + 1];
}

QStringList fragments(const QString& value) {
    return value.split(u',', Qt::KeepEmptyParts);
}

std::vector<int> indexList(const QString& value) {
    std::vector<int> out;
    for (const QString& piece : value.split(u',')) {
        if (const auto v = integer(piece)) out.push_back(*v);
    }
    return out;
}

int presetIndex(const std::optional<QString>& value, int fallback) {
    if (!value) return fallback;
    return integer(*value).value_or(fallback);
}

std::optional<double> duration(const std::optional<QString>& value) {
    if (!value) return 30.0;
    bool ok = false;
    const double d = value->trimmed().toDouble(&ok);
    if (!ok) return 30.0;
    if (!std::isfinite(d)) return std::nullopt; // "nan", "inf": numbers, but no length
    return d;
}

} // namespace lc::cli
