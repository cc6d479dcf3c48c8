#pragma once
// Turns a fragmented movie file (MOV, MP4, M4A: a header with empty sample tables, then
// fragments) into a plain one in place, without copying any media: a complete index is
// appended at the end and the start of the file is rewritten so that all fragments become one
// media-data box. Used when a writer finishes and when a file that survived a crash is
// recovered.
//
// Crash safety: the index is appended and synced before the one small header write that makes
// it the file's index, so an interruption at any point leaves either the fragmented file (with
// only its complete fragments) or the finished one, and running the finisher again completes it.
// A fragment torn by a kill or a power loss (cut inside its header or its data) is cut off, as
// is everything after it.
//
// Blocking file I/O on the caller's thread; one file at a time per path.
#include "common/Result.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace lc {

// Error codes of finishFragmentedFile (domain "Loomcast"); the file is untouched unless the code
// is io.
enum class FinishFailure {
    notFragmented = 1, // not a movie, or one this finisher does not understand (damaged)
    noMedia = 2,       // a fragmented movie without one complete fragment
    io = 3,            // reading or writing failed: the file is left fragmented or finished
    alreadyPlain = 4,  // a plain movie (finished already): nothing to do
};

struct FinishedTrack {
    std::uint32_t trackId = 0;
    std::string handler; // "vide", "soun", "tmcd", …
    std::uint32_t timeScale = 0;
    std::uint64_t samples = 0;
    std::uint64_t duration = 0; // sum of the sample durations, in timeScale units
    double seconds() const { return timeScale ? double(duration) / double(timeScale) : 0.0; }
};

struct FinishedMovie {
    std::vector<FinishedTrack> tracks; // in the file's order
    std::uint64_t fragments = 0;       // complete fragments kept
    std::uint64_t cutBytes = 0;        // torn or trailing bytes removed from the end

    // The first video track's duration, else the longest track's; 0 without samples.
    double mainSeconds() const {
        for (const auto& t : tracks)
            if (t.handler == "vide" && t.samples > 0) return t.seconds();
        double longest = 0;
        for (const auto& t : tracks)
            longest = std::max(longest, t.seconds());
        return longest;
    }
};

Result<FinishedMovie> finishFragmentedFile(const std::string& path);

} // namespace lc
