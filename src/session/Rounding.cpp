#include "session/Rounding.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>

namespace lc {

double round3(double x) {
    // Beyond 2^53 / 1000 milliseconds are no longer whole doubles; such values are not times.
    if (!std::isfinite(x) || std::fabs(x) >= 9.0e12) return x;
    char buf[512]; // shortest fixed form of the smallest subnormal fits
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::fixed);
    if (ec != std::errc{}) return std::round(x * 1000.0) / 1000.0;
    const std::string_view text(buf, end - buf);
    const auto dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    const std::string_view frac = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);

    std::int64_t ms = 0;
    for (char c : whole)
        ms = ms * 10 + (c - '0');
    for (std::size_t i = 0; i < 3; ++i)
        ms = ms * 10 + (i < frac.size() ? frac[i] - '0' : 0);
    if (frac.size() > 3 && frac[3] >= '5') ++ms;
    if (ms == 0) return 0.0; // no negative zero
    const double r = static_cast<double>(ms) / 1000.0;
    return x < 0 ? -r : r;
}

} // namespace lc
