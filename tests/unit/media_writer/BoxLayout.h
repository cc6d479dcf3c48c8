#pragma once
// A small reader of ISO base media boxes for the tests, independent of the finisher: the
// top-level boxes of a file (read by seeking, so huge sparse files are fine) and the tracks of
// its movie header.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lc::test {

struct TopBox {
    std::string type;
    std::uint64_t offset = 0, size = 0, header = 0;
};

// The top-level boxes; a box cut by the end of the file ends the list (`torn` set).
std::vector<TopBox> topLevelBoxes(const std::string& path, bool* torn = nullptr);

struct TrackIndex {
    std::uint32_t id = 0;
    std::string handler;
    std::uint32_t timeScale = 0;
    std::uint64_t mediaDuration = 0; // mdhd
    std::uint64_t trackDuration = 0; // tkhd, movie time scale
    std::uint64_t sttsSum = 0;
    std::uint64_t sttsCount = 0;
    std::vector<std::uint32_t> durations;                  // per sample, from stts
    std::uint64_t sizes = 0;                               // stsz sample count
    std::optional<std::vector<std::uint32_t>> syncSamples; // stss, 1-based
    std::vector<std::uint64_t> chunkOffsets;
    bool hasCompositionOffsets = false; // ctts
    bool hasEdits = false;
    std::uint64_t editDuration = 0; // sum of the edit list's segments, movie time scale
};

struct MovieIndex {
    bool ok = false;
    std::string error;
    std::uint32_t timeScale = 0;
    std::uint64_t duration = 0;
    bool hasFragmentDefaults = false;    // mvex
    std::vector<std::string> otherBoxes; // moov children besides mvhd, trak, mvex
    std::vector<TrackIndex> tracks;
};

// Parses the (first) moov box.
MovieIndex readMovieIndex(const std::string& path);

std::vector<std::uint8_t> readBytes(const std::string& path, std::uint64_t offset, std::uint64_t n);

} // namespace lc::test
