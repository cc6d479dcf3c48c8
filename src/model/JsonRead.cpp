#include "model/JsonRead.h"

#include <limits>

namespace lc::json {

std::optional<QString> string(const QJsonValue& v) {
    if (!v.isString()) return std::nullopt;
    return v.toString();
}

std::optional<bool> boolean(const QJsonValue& v) {
    if (!v.isBool()) return std::nullopt;
    return v.toBool();
}

std::optional<qint64> integer(const QJsonValue& v) {
    if (!v.isDouble()) return std::nullopt;
    // toInteger() answers the fallback for fractions and out-of-range values; two different
    // fallbacks tell a real minimum from a refusal.
    constexpr qint64 lo = std::numeric_limits<qint64>::min();
    const qint64 a = v.toInteger(lo);
    if (a != lo) return a;
    if (v.toInteger(0) == lo) return lo;
    return std::nullopt;
}

} // namespace lc::json
