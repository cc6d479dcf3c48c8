#include "capture/Timecode.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace lc {

namespace {

// Callers pass the recording frame rate (at least 1); anything lower would divide by zero.
std::int64_t safeFps(int fps) {
    return fps < 1 ? 1 : fps;
}

// Full-width frame count; the 32-bit value is its low part.
std::uint64_t frameCount(Timecode::Instant instant, std::int64_t fps) {
    using namespace std::chrono;
    const auto whole = floor<seconds>(instant);
    const std::int64_t nanos = duration_cast<nanoseconds>(instant - whole).count();
    const std::time_t t = system_clock::to_time_t(time_point_cast<system_clock::duration>(whole));
    std::tm local{};
    if (!localtime_r(&t, &local)) local = std::tm{};
    const std::uint64_t s =
        (std::uint64_t(local.tm_hour) * 60 + std::uint64_t(local.tm_min)) * 60 + std::uint64_t(local.tm_sec);
    std::int64_t f = fps * nanos / 1'000'000'000;
    if (f > fps - 1) f = fps - 1;
    return std::uint64_t(fps) * s + std::uint64_t(f);
}

Timecode::Instant toInstant(const QDateTime& dt) {
    return Timecode::Instant(std::chrono::milliseconds(dt.toMSecsSinceEpoch()));
}

QString twoDigits(std::uint64_t v) {
    return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0'));
}

// Whole seconds for the texts; values no clock produces are pinned instead of overflowing.
long long wholeSeconds(double s) {
    return std::isfinite(s) ? static_cast<long long>(std::clamp(s, -1e15, 1e15)) : 0;
}

} // namespace

namespace Timecode {

std::uint32_t frameNumber(Instant instant, int fps) {
    return static_cast<std::uint32_t>(frameCount(instant, safeFps(fps)));
}

std::uint32_t frameNumber(const QDateTime& instant, int fps) {
    return frameNumber(toInstant(instant), fps);
}

QString string(Instant instant, int fps) {
    const std::int64_t rate = safeFps(fps);
    // From the full count, so a high frame rate that overflows 32 bits still reads correctly.
    const std::uint64_t n = frameCount(instant, rate);
    const std::uint64_t t = n / std::uint64_t(rate);
    const std::uint64_t f = n % std::uint64_t(rate);
    return twoDigits(t / 3600) + u':' + twoDigits((t / 60) % 60) + u':' + twoDigits(t % 60) + u':' +
           twoDigits(f);
}

QString string(const QDateTime& instant, int fps) {
    return string(toInstant(instant), fps);
}

} // namespace Timecode

QString formatTime(double seconds) {
    const long long n = wholeSeconds(std::trunc(seconds));
    return QString::asprintf("%02lld:%02lld", n / 60, n % 60);
}

QString offsetSuffix(double seconds) {
    const long long n = wholeSeconds(std::round(seconds));
    return QString::asprintf("(+%lldm%02llds)", n / 60, n % 60);
}

} // namespace lc
