#pragma once
// The picture the test-window program draws, shared with the tests that read it back from
// captured frames: a row of black/white blocks at the top-left corner encoding a frame counter
// (most significant bit first), a solid colour everywhere else, and, when animated, a bar in the
// inverse colour that moves one block per frame.
#include <cstdint>
#include <optional>

namespace lc::test::pattern {

inline constexpr int blockSize = 8;
inline constexpr int counterBits = 16;
inline constexpr std::uint32_t defaultColour = 0x3366cc; // 0xRRGGBB
inline constexpr int barWidth = 24;

inline std::uint32_t barColour(std::uint32_t colour) {
    return (~colour) & 0xffffff;
}
inline int barX(std::uint32_t counter, int windowWidth) {
    return windowWidth > 0 ? int((counter * blockSize) % std::uint32_t(windowWidth)) : 0;
}

// Reads the counter from a BGRA picture of the window's client area; nothing when the blocks are
// not cleanly black or white (another picture, or a torn one).
inline std::optional<std::uint32_t> decodeCounter(const std::uint8_t* bgra, int stride, int width,
                                                  int height) {
    if (width < blockSize * counterBits || height < blockSize) return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 0; i < counterBits; ++i) {
        const std::uint8_t* p = bgra + (blockSize / 2) * stride + (i * blockSize + blockSize / 2) * 4;
        const int sum = p[0] + p[1] + p[2];
        if (sum > 3 * 200)
            value = (value << 1) | 1;
        else if (sum < 3 * 55)
            value <<= 1;
        else
            return std::nullopt;
    }
    return value;
}

// The pixel (B, G, R, A) the window shows at (x, y) away from the counter and the bar.
struct Bgra {
    std::uint8_t b, g, r, a;
};
inline Bgra colourPixel(std::uint32_t colour) {
    return Bgra{std::uint8_t(colour & 0xff), std::uint8_t((colour >> 8) & 0xff),
                std::uint8_t((colour >> 16) & 0xff), 255};
}

} // namespace lc::test::pattern
