#include "BoxLayout.h"

#include <cstring>
#include <fstream>
#include <functional>

namespace lc::test {
namespace {

std::uint64_t be(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | p[i];
    return v;
}

struct Inner {
    std::string type;
    const std::uint8_t* data; // payload
    std::uint64_t size;       // payload size
};

std::vector<Inner> inner(const std::uint8_t* p, std::uint64_t n) {
    std::vector<Inner> out;
    std::uint64_t pos = 0;
    while (pos + 8 <= n) {
        std::uint64_t size = be(p + pos, 4), header = 8;
        if (size == 1) size = be(p + pos + 8, 8), header = 16;
        if (size < header || pos + size > n) break;
        out.push_back(
            {std::string(reinterpret_cast<const char*>(p + pos + 4), 4), p + pos + header, size - header});
        pos += size;
    }
    return out;
}

const Inner* child(const std::vector<Inner>& v, const char* type) {
    for (auto& c : v)
        if (c.type == type) return &c;
    return nullptr;
}

// Duration field of mvhd/mdhd (`tkhd` false) or tkhd.
std::uint64_t durationOf(const Inner& b, bool tkhd) {
    const bool v1 = b.data[0] == 1;
    const std::uint64_t at = 4 + (v1 ? 16 : 8) + 4 + (tkhd ? 4 : 0);
    return be(b.data + at, v1 ? 8 : 4);
}

std::uint32_t scaleOf(const Inner& b) {
    return std::uint32_t(be(b.data + 4 + (b.data[0] == 1 ? 16 : 8), 4));
}

} // namespace

std::vector<TopBox> topLevelBoxes(const std::string& path, bool* torn) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(0, std::ios::end);
    const auto fileSize = std::uint64_t(in.tellg());
    std::vector<TopBox> out;
    if (torn) *torn = false;
    for (std::uint64_t pos = 0; pos < fileSize;) {
        std::uint8_t h[16] = {};
        in.seekg(std::streamoff(pos));
        in.read(reinterpret_cast<char*>(h), 16);
        TopBox b{std::string(reinterpret_cast<const char*>(h + 4), 4), pos, be(h, 4), 8};
        if (b.size == 1) b.size = be(h + 8, 8), b.header = 16;
        if (b.size == 0) b.size = fileSize - pos;
        if (fileSize - pos < 8 || b.size < b.header || b.size > fileSize - pos) {
            if (torn) *torn = true;
            break;
        }
        out.push_back(b);
        pos += b.size;
        in.clear();
    }
    return out;
}

std::vector<std::uint8_t> readBytes(const std::string& path, std::uint64_t offset, std::uint64_t n) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> out(n);
    in.seekg(std::streamoff(offset));
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(n));
    out.resize(std::size_t(in.gcount()));
    return out;
}

MovieIndex readMovieIndex(const std::string& path) {
    MovieIndex m;
    const TopBox* moov = nullptr;
    const auto boxes = topLevelBoxes(path);
    for (auto& b : boxes)
        if (b.type == "moov" && !moov) moov = &b;
    if (!moov) {
        m.error = "no moov";
        return m;
    }
    const auto bytes = readBytes(path, moov->offset + moov->header, moov->size - moov->header);
    const auto top = inner(bytes.data(), bytes.size());
    const Inner* mvhd = child(top, "mvhd");
    if (!mvhd) {
        m.error = "no mvhd";
        return m;
    }
    m.timeScale = scaleOf(*mvhd);
    m.duration = durationOf(*mvhd, false);
    for (auto& c : top) {
        if (c.type == "mvex") m.hasFragmentDefaults = true;
        if (c.type != "trak") {
            if (c.type != "mvhd" && c.type != "mvex") m.otherBoxes.push_back(c.type);
            continue;
        }
        TrackIndex t;
        const auto trak = inner(c.data, c.size);
        const Inner* tkhd = child(trak, "tkhd");
        const Inner* mdia = child(trak, "mdia");
        if (!tkhd || !mdia) {
            m.error = "track without tkhd or mdia";
            return m;
        }
        if (const Inner* edts = child(trak, "edts")) {
            t.hasEdits = true;
            const auto e = inner(edts->data, edts->size);
            if (const Inner* elst = child(e, "elst")) {
                const bool v1 = elst->data[0] == 1;
                const auto n = be(elst->data + 4, 4);
                for (std::uint64_t i = 0; i < n; ++i)
                    t.editDuration += be(elst->data + 8 + i * (v1 ? 20 : 12), v1 ? 8 : 4);
            }
        }
        t.id = std::uint32_t(be(tkhd->data + 4 + (tkhd->data[0] == 1 ? 16 : 8), 4));
        t.trackDuration = durationOf(*tkhd, true);
        const auto md = inner(mdia->data, mdia->size);
        const Inner* mdhd = child(md, "mdhd");
        const Inner* hdlr = child(md, "hdlr");
        const Inner* minf = child(md, "minf");
        if (!mdhd || !hdlr || !minf) {
            m.error = "track without mdhd, hdlr or minf";
            return m;
        }
        t.timeScale = scaleOf(*mdhd);
        t.mediaDuration = durationOf(*mdhd, false);
        t.handler = std::string(reinterpret_cast<const char*>(hdlr->data + 8), 4);
        const auto mi = inner(minf->data, minf->size);
        const Inner* stbl = child(mi, "stbl");
        if (!stbl) {
            m.error = "track without stbl";
            return m;
        }
        const auto st = inner(stbl->data, stbl->size);
        if (const Inner* stts = child(st, "stts")) {
            const auto n = be(stts->data + 4, 4);
            for (std::uint64_t i = 0; i < n; ++i) {
                const auto count = be(stts->data + 8 + 8 * i, 4), d = be(stts->data + 12 + 8 * i, 4);
                t.sttsCount += count;
                t.sttsSum += count * d;
                t.durations.insert(t.durations.end(), std::size_t(count), std::uint32_t(d));
            }
        }
        t.hasCompositionOffsets = child(st, "ctts") != nullptr;
        if (const Inner* stsz = child(st, "stsz")) t.sizes = be(stsz->data + 8, 4);
        if (const Inner* stss = child(st, "stss")) {
            std::vector<std::uint32_t> sync;
            const auto n = be(stss->data + 4, 4);
            for (std::uint64_t i = 0; i < n; ++i)
                sync.push_back(std::uint32_t(be(stss->data + 8 + 4 * i, 4)));
            t.syncSamples = sync;
        }
        const Inner* stco = child(st, "stco");
        const Inner* co64 = child(st, "co64");
        if (const Inner* co = stco ? stco : co64) {
            const int w = stco ? 4 : 8;
            const auto n = be(co->data + 4, 4);
            for (std::uint64_t i = 0; i < n; ++i)
                t.chunkOffsets.push_back(be(co->data + 8 + std::uint64_t(w) * i, w));
        }
        m.tracks.push_back(std::move(t));
    }
    m.ok = true;
    return m;
}

} // namespace lc::test
