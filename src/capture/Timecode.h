#pragma once
// Time-of-day timecode (non-drop-frame, local time zone, restarting at local midnight) and
// the program's other short time-to-text functions.
#include <QDateTime>
#include <QString>
#include <chrono>
#include <cstdint>

namespace lc {

namespace Timecode {

using Instant = std::chrono::system_clock::time_point;

// Frames elapsed since local midnight at `fps` frames per second. The frames field is
// clamped to fps - 1, so 23:59:59.999 never yields a frame number equal to fps.
std::uint32_t frameNumber(Instant instant, int fps);
std::uint32_t frameNumber(const QDateTime& instant, int fps);

// "HH:MM:SS:FF" of frameNumber().
QString string(Instant instant, int fps);
QString string(const QDateTime& instant, int fps);

} // namespace Timecode

// Elapsed time "MM:SS", seconds truncated, minutes not wrapped into hours (75 min -> 75:00).
QString formatTime(double seconds);

// Start-offset text for file names: seconds rounded half away from zero, then
// "(+<minutes>m<two-digit seconds>s)", e.g. 65.4 -> "(+1m05s)".
QString offsetSuffix(double seconds);

} // namespace lc
