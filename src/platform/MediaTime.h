#pragma once
// An exact media time: `value` ticks of 1/`scale` second. Stream times keep the stream's own
// time base, so comparisons between clips, the 1/600 s export grid and output frame times are
// exact (cross-multiplied in 128 bits) rather than rounded through doubles.
#include <algorithm>
#include <cmath>
#include <compare>
#include <cstdint>
#include <numeric>

namespace lc {

struct MediaTime {
    std::int64_t value = 0;
    std::int32_t scale = 600;

    // The nearest tick (halves away from zero).
    static MediaTime fromSeconds(double seconds, std::int32_t scale = 600) {
        return MediaTime{std::llround(seconds * double(scale)), scale};
    }
    double seconds() const { return double(value) / double(scale); }

    // The same instant in another scale, rounded to the nearest tick there.
    MediaTime convertedTo(std::int32_t newScale) const {
        const __int128 num = __int128(value) * newScale;
        const __int128 half = scale / 2;
        const __int128 q = num >= 0 ? (num + half) / scale : -((-num + half) / scale);
        return MediaTime{std::int64_t(q), newScale};
    }

    friend std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b) {
        const __int128 l = __int128(a.value) * b.scale, r = __int128(b.value) * a.scale;
        return l < r ? std::strong_ordering::less
                     : (l > r ? std::strong_ordering::greater : std::strong_ordering::equal);
    }
    friend bool operator==(const MediaTime& a, const MediaTime& b) { return (a <=> b) == 0; }

    // Sums stay exact on the least common scale while it stays small; past that the finer of
    // the two scales is used (a sub-microsecond rounding at worst).
    friend MediaTime operator+(const MediaTime& a, const MediaTime& b) {
        if (a.scale == b.scale) return MediaTime{a.value + b.value, a.scale};
        const std::int64_t l = std::lcm(std::int64_t(a.scale), std::int64_t(b.scale));
        const std::int32_t s = l <= 1'000'000'000 ? std::int32_t(l) : std::max(a.scale, b.scale);
        return MediaTime{a.convertedTo(s).value + b.convertedTo(s).value, s};
    }
    friend MediaTime operator-(const MediaTime& a, const MediaTime& b) {
        return a + MediaTime{-b.value, b.scale};
    }
};

inline MediaTime maxTime(const MediaTime& a, const MediaTime& b) {
    return a < b ? b : a;
}
inline MediaTime minTime(const MediaTime& a, const MediaTime& b) {
    return b < a ? b : a;
}

} // namespace lc
