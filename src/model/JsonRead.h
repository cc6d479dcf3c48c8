#pragma once
// Strict readers for JSON values: a value of the wrong type gives nothing, never a
// converted guess, so a malformed file can be rejected as a whole.
#include <QJsonValue>
#include <QString>
#include <QtGlobal>
#include <optional>

namespace lc::json {

std::optional<QString> string(const QJsonValue& v);
std::optional<bool> boolean(const QJsonValue& v);
// A JSON number with a whole value that fits a signed 64-bit integer (30 and 30.0 alike).
std::optional<qint64> integer(const QJsonValue& v);

// An optional key: absent or null gives `fallback`; a present value of the wrong type gives
// nothing.
template <class T, class Read>
std::optional<T> optionalKey(const QJsonValue& v, const T& fallback, Read read) {
    if (v.isUndefined() || v.isNull()) return fallback;
    return read(v);
}

} // namespace lc::json
