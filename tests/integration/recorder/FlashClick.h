#pragma once
// Reads back a recording of `test-window --flash`: when the picture turns white and when the
// click is heard, on the file's own timeline, paired up flash by flash.
#include <QProcess>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <optional>
#include <vector>

namespace lc::test::flashclick {

// The mean brightness (0…255) of every decoded picture of the file's first video track, in
// presentation order (the recorder writes no B-frames, so this is the file order too).
inline std::vector<double> pictureBrightness(const QString& path) {
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-i", path, "-map", "0:v:0", "-vf", "scale=8:8,format=gray",
                       "-fps_mode", "passthrough", "-f", "rawvideo", "-"});
    p.waitForFinished(600000);
    const QByteArray all = p.readAllStandardOutput();
    std::vector<double> out;
    for (qsizetype at = 0; at + 64 <= all.size(); at += 64) {
        int sum = 0;
        for (int i = 0; i < 64; ++i)
            sum += static_cast<unsigned char>(all[at + i]);
        out.push_back(sum / 64.0);
    }
    return out;
}

// Times at which the picture turns bright: the first picture past halfway between the darkest
// and the brightest after one below it. `times` holds each picture's time in seconds.
inline std::vector<double> flashTimes(const std::vector<double>& brightness,
                                      const std::vector<double>& times) {
    std::vector<double> out;
    if (brightness.empty() || brightness.size() != times.size()) return out;
    const auto [lo, hi] = std::minmax_element(brightness.begin(), brightness.end());
    if (*hi - *lo < 50) return out; // no flash at all
    const double half = (*lo + *hi) / 2;
    for (std::size_t i = 1; i < brightness.size(); ++i)
        if (brightness[i] > half && brightness[i - 1] <= half) out.push_back(times[i]);
    return out;
}

// Times at which a click starts in mono samples at 48 kHz (-1…1): the first sample above
// `threshold` after at least 0.1 s below it.
inline std::vector<double> clickTimes(const std::vector<float>& samples, double threshold = 0.25) {
    std::vector<double> out;
    std::int64_t lastLoud = -48000;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::abs(samples[i]) <= threshold) continue;
        if (std::int64_t(i) - lastLoud > 4800) out.push_back(double(i) / 48000.0);
        lastLoud = std::int64_t(i);
    }
    return out;
}

struct Pair {
    double flash = 0; // seconds on the file's timeline
    double click = 0;
    double offset() const { return click - flash; } // > 0: audio late
};

// Each flash with the click nearest to it, when one is within `reach` seconds.
inline std::vector<Pair> pairUp(const std::vector<double>& flashes, const std::vector<double>& clicks,
                                double reach = 0.3) {
    std::vector<Pair> out;
    for (double f : flashes) {
        std::optional<double> best;
        for (double c : clicks)
            if (std::abs(c - f) <= reach && (!best || std::abs(c - f) < std::abs(*best - f))) best = c;
        if (best) out.push_back({f, *best});
    }
    return out;
}

struct Summary {
    int count = 0;
    double mean = 0, deviation = 0, min = 0, max = 0; // seconds
    double driftPerMinute = 0;                        // seconds of offset gained per minute
};

inline Summary summarise(const std::vector<Pair>& pairs) {
    Summary s;
    s.count = int(pairs.size());
    if (pairs.empty()) return s;
    std::vector<double> o;
    for (const Pair& p : pairs)
        o.push_back(p.offset());
    s.mean = std::accumulate(o.begin(), o.end(), 0.0) / double(o.size());
    double sq = 0;
    for (double x : o)
        sq += (x - s.mean) * (x - s.mean);
    s.deviation = std::sqrt(sq / double(o.size()));
    s.min = *std::min_element(o.begin(), o.end());
    s.max = *std::max_element(o.begin(), o.end());
    // Least-squares slope of the offset over the flash time.
    double tMean = 0;
    for (const Pair& p : pairs)
        tMean += p.flash / double(pairs.size());
    double num = 0, den = 0;
    for (const Pair& p : pairs) {
        num += (p.flash - tMean) * (p.offset() - s.mean);
        den += (p.flash - tMean) * (p.flash - tMean);
    }
    s.driftPerMinute = den > 0 ? 60 * num / den : 0;
    return s;
}

} // namespace lc::test::flashclick
