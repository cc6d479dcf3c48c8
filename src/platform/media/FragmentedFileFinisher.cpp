// In-place finishing of fragmented ISO base media / QuickTime files. The file is read box by
// box with pread (only headers and fragment headers are read, never the media), the sample
// tables are rebuilt from the fragments, and the file is changed by an append and one header
// write; see platform/MovieFinisher.h for the guarantees.
#include "common/UniqueFd.h"
#include "platform/MovieFinisher.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <sys/stat.h>
#include <unistd.h>

namespace lc {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t fourcc(const char (&s)[5]) {
    return std::uint32_t(std::uint8_t(s[0])) << 24 | std::uint32_t(std::uint8_t(s[1])) << 16 |
           std::uint32_t(std::uint8_t(s[2])) << 8 | std::uint32_t(std::uint8_t(s[3]));
}

std::string fourccText(std::uint32_t t) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i)
        s[std::size_t(i)] = char((t >> (24 - 8 * i)) & 0xff);
    return s;
}

// Fragment headers and the movie header are small; anything larger is not a file we wrote.
constexpr std::uint64_t kMaxHeaderBox = 256ull << 20;
constexpr std::uint32_t kNonSyncFlag = 0x00010000;

std::string quoted(const std::string& path) {
    return "\u201c" + path + "\u201d";
}

// A bounds-checked big-endian reader over one box's payload. Reads past the end set `bad` and
// yield zero, so a truncated or hostile box is detected once, after parsing.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> d) : d_(d) {}
    std::uint64_t be(int n) {
        if (pos_ + std::size_t(n) > d_.size()) {
            bad = true;
            pos_ = d_.size();
            return 0;
        }
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = v << 8 | d_[pos_++];
        return v;
    }
    std::uint32_t u32() { return std::uint32_t(be(4)); }
    std::uint64_t u64() { return be(8); }
    void skip(std::size_t n) {
        if (pos_ + n > d_.size()) bad = true;
        pos_ = std::min(d_.size(), pos_ + n);
    }
    std::size_t pos() const { return pos_; }
    std::size_t left() const { return d_.size() - pos_; }
    bool bad = false;

private:
    std::span<const std::uint8_t> d_;
    std::size_t pos_ = 0;
};

class Writer {
public:
    void be(std::uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i)
            out.push_back(std::uint8_t(v >> (8 * i)));
    }
    void u32(std::uint64_t v) { be(v, 4); }
    void u64(std::uint64_t v) { be(v, 8); }
    void bytes(std::span<const std::uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); }
    std::size_t begin(std::uint32_t type) {
        const std::size_t at = out.size();
        u32(0);
        u32(type);
        return at;
    }
    std::size_t beginFull(std::uint32_t type, std::uint8_t version, std::uint32_t flags = 0) {
        const std::size_t at = begin(type);
        u32(std::uint32_t(version) << 24 | flags);
        return at;
    }
    void end(std::size_t at) {
        const std::uint64_t size = out.size() - at;
        for (int i = 0; i < 4; ++i)
            out[at + std::size_t(i)] = std::uint8_t(size >> (24 - 8 * i));
    }
    Bytes out;
};

// One box inside a buffer: its whole bytes and its payload.
struct Child {
    std::uint32_t type = 0;
    std::span<const std::uint8_t> whole, payload;
};

// The child boxes of a payload; nullopt when one of them does not fit.
std::optional<std::vector<Child>> children(std::span<const std::uint8_t> payload) {
    std::vector<Child> out;
    std::size_t pos = 0;
    while (pos < payload.size()) {
        if (payload.size() - pos < 8) return std::nullopt;
        Reader r(payload.subspan(pos));
        std::uint64_t size = r.u32();
        const std::uint32_t type = r.u32();
        std::size_t header = 8;
        if (size == 1)
            size = r.u64(), header = 16;
        else if (size == 0)
            size = payload.size() - pos;
        if (r.bad || size < header || size > payload.size() - pos) return std::nullopt;
        out.push_back({type, payload.subspan(pos, std::size_t(size)),
                       payload.subspan(pos + header, std::size_t(size) - header)});
        pos += std::size_t(size);
    }
    return out;
}

const Child* find(const std::vector<Child>& list, std::uint32_t type) {
    for (const auto& c : list)
        if (c.type == type) return &c;
    return nullptr;
}

struct Sample {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t duration = 0;
    std::uint32_t flags = 0;
    std::int32_t compositionOffset = 0;
    std::uint32_t description = 1;
};

struct TrackDefaults {
    std::uint32_t description = 1, duration = 0, size = 0, flags = 0;
};

struct Track {
    std::uint32_t id = 0;
    std::uint32_t handler = 0;
    std::uint32_t timeScale = 0;
    TrackDefaults defaults; // from trex
    std::vector<Sample> samples;
    std::uint64_t startTime = 0; // decode time of the first sample (tfdt)
    std::uint64_t nextTime = 0;  // decode time after the last sample
};

// One track's run of samples in one fragment, not yet accepted.
struct TrackRun {
    Track* track = nullptr;
    std::optional<std::uint64_t> decodeTime;
    std::vector<Sample> samples;
};

struct BoxHeader {
    std::uint64_t offset = 0, size = 0;
    std::uint32_t type = 0;
    std::uint32_t headerSize = 0;
    std::uint64_t end() const { return offset + size; }
};

class Finisher {
public:
    explicit Finisher(std::string path) : path_(std::move(path)) {}
    Result<FinishedMovie> run();

private:
    // Where the kept part of the file ends: after the last complete fragment.
    struct Layout {
        BoxHeader moov;
        std::uint64_t keptEnd = 0;
        std::uint64_t fragments = 0;
    };

    Result<void> open();
    // Reads the header and every complete fragment's sample tables.
    Result<Layout> scan();
    static bool samplesInside(const std::vector<TrackRun>& runs, const BoxHeader& mdat);
    Result<void> appendIndex(std::uint64_t keptEnd, const Bytes& index);
    Result<void> rewriteHeader(const BoxHeader& moov, std::uint64_t keptEnd);

    Error fail(FinishFailure kind, const std::string& why) const {
        return makeError("Cannot finish " + quoted(path_) + ": " + why, int(kind));
    }
    Error ioFail(const char* what) const {
        return fail(FinishFailure::io, std::string(what) + ": " + std::strerror(errno));
    }
    Result<void> readAt(std::uint64_t offset, std::uint8_t* to, std::size_t n) const;
    // The box header at `offset`; nullopt when the box is cut by the end of the file (torn).
    Result<std::optional<BoxHeader>> header(std::uint64_t offset) const;
    Result<Bytes> payloadOf(const BoxHeader& b) const;

    Result<void> readMovie(const BoxHeader& moov);
    // The runs of one fragment header; nullopt when it does not describe complete samples.
    std::optional<std::vector<TrackRun>> readFragment(const BoxHeader& moof,
                                                      std::span<const std::uint8_t> body);
    void accept(std::vector<TrackRun>& runs);
    void fixTimecode();

    Result<Bytes> buildMovie() const;
    void writeTrack(Writer& w, const Child& trak, const Track& t) const;
    void writeSampleTables(Writer& w, const Track& t) const;

    std::string path_;
    UniqueFd fd_;
    std::uint64_t fileSize_ = 0;
    Bytes moov_; // the header's payload
    std::uint32_t movieTimeScale_ = 0;
    std::vector<Track> tracks_; // in the header's order
};

Result<void> Finisher::readAt(std::uint64_t offset, std::uint8_t* to, std::size_t n) const {
    while (n > 0) {
        const ssize_t got = ::pread(fd_.get(), to, n, off_t(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return ioFail("cannot read");
        if (got == 0) return fail(FinishFailure::io, "the file ended while it was read");
        to += got, offset += std::uint64_t(got), n -= std::size_t(got);
    }
    return {};
}

Result<std::optional<BoxHeader>> Finisher::header(std::uint64_t offset) const {
    if (fileSize_ - offset < 8) return std::optional<BoxHeader>();
    std::uint8_t h[16];
    if (auto r = readAt(offset, h, 8); !r) return r.error();
    BoxHeader b;
    b.offset = offset;
    Reader rd({h, 8});
    b.size = rd.u32();
    b.type = rd.u32();
    b.headerSize = 8;
    if (b.size == 1) {
        if (fileSize_ - offset < 16) return std::optional<BoxHeader>();
        if (auto r = readAt(offset + 8, h + 8, 8); !r) return r.error();
        Reader big({h + 8, 8});
        b.size = big.u64();
        b.headerSize = 16;
    } else if (b.size == 0) {
        b.size = fileSize_ - offset;
    }
    // Only a box that runs past the end is torn; one too small to be a box is damage.
    if (b.size < b.headerSize)
        return fail(FinishFailure::notFragmented, "it has a damaged box at byte " + std::to_string(offset));
    if (b.size > fileSize_ - offset) return std::optional<BoxHeader>();
    return std::optional<BoxHeader>(b);
}

Result<Bytes> Finisher::payloadOf(const BoxHeader& b) const {
    const std::uint64_t n = b.size - b.headerSize;
    if (n > kMaxHeaderBox)
        return fail(FinishFailure::notFragmented, "a " + fourccText(b.type) + " box is too large");
    Bytes out(static_cast<std::size_t>(n));
    if (auto r = readAt(b.offset + b.headerSize, out.data(), out.size()); !r) return r.error();
    return out;
}

Result<void> Finisher::readMovie(const BoxHeader& moov) {
    auto payload = payloadOf(moov);
    if (!payload) return payload.error();
    moov_ = std::move(*payload);
    const auto notOurs = [&](const std::string& why) { return fail(FinishFailure::notFragmented, why); };
    auto top = children(moov_);
    if (!top) return notOurs("its movie header is damaged");
    const Child* mvex = find(*top, fourcc("mvex"));
    if (!mvex) return fail(FinishFailure::alreadyPlain, "it is a plain movie already");
    const Child* mvhd = find(*top, fourcc("mvhd"));
    if (!mvhd) return notOurs("its movie header has no mvhd");
    {
        Reader r(mvhd->payload);
        const auto version = r.be(1);
        r.skip(3 + (version == 1 ? 16 : 8));
        movieTimeScale_ = r.u32();
        if (r.bad || movieTimeScale_ == 0) return notOurs("its movie header is damaged");
    }
    for (const auto& c : *top) {
        if (c.type != fourcc("trak")) continue;
        auto trak = children(c.payload);
        const Child* tkhd = trak ? find(*trak, fourcc("tkhd")) : nullptr;
        const Child* mdia = trak ? find(*trak, fourcc("mdia")) : nullptr;
        auto mdiaKids = mdia ? children(mdia->payload) : std::nullopt;
        const Child* mdhd = mdiaKids ? find(*mdiaKids, fourcc("mdhd")) : nullptr;
        const Child* hdlr = mdiaKids ? find(*mdiaKids, fourcc("hdlr")) : nullptr;
        if (!tkhd || !mdhd || !hdlr) return notOurs("a track header is damaged");
        Track t;
        Reader th(tkhd->payload);
        th.skip(4 + (th.be(1) == 1 ? 16 : 8) - 1);
        t.id = th.u32();
        Reader mh(mdhd->payload);
        mh.skip(4 + (mh.be(1) == 1 ? 16 : 8) - 1);
        t.timeScale = mh.u32();
        Reader hr(hdlr->payload);
        hr.skip(8);
        t.handler = hr.u32();
        if (th.bad || mh.bad || hr.bad || t.timeScale == 0) return notOurs("a track header is damaged");
        // The index is rebuilt inside these boxes: they must parse down to the sample description.
        const Child* minf = find(*mdiaKids, fourcc("minf"));
        auto minfKids = minf ? children(minf->payload) : std::nullopt;
        const Child* stbl = minfKids ? find(*minfKids, fourcc("stbl")) : nullptr;
        auto stblKids = stbl ? children(stbl->payload) : std::nullopt;
        if (!stblKids || !find(*stblKids, fourcc("stsd")))
            return notOurs("a track has no sample description");
        tracks_.push_back(std::move(t));
    }
    if (tracks_.empty()) return notOurs("it has no tracks");
    auto ext = children(mvex->payload);
    if (!ext) return notOurs("its fragment defaults are damaged");
    for (const auto& c : *ext) {
        if (c.type != fourcc("trex")) continue;
        Reader r(c.payload);
        r.skip(4);
        const std::uint32_t id = r.u32();
        TrackDefaults d{r.u32(), r.u32(), r.u32(), r.u32()};
        if (r.bad) return notOurs("its fragment defaults are damaged");
        for (auto& t : tracks_)
            if (t.id == id) t.defaults = d;
    }
    return {};
}

std::optional<std::vector<TrackRun>> Finisher::readFragment(const BoxHeader& moof,
                                                            std::span<const std::uint8_t> body) {
    auto kids = children(body);
    if (!kids) return std::nullopt;
    std::vector<TrackRun> runs;
    std::uint64_t previousDataEnd = moof.offset;
    bool firstTraf = true;
    for (const auto& traf : *kids) {
        if (traf.type != fourcc("traf")) continue;
        auto parts = children(traf.payload);
        const Child* tfhd = parts ? find(*parts, fourcc("tfhd")) : nullptr;
        if (!tfhd) return std::nullopt;
        Reader h(tfhd->payload);
        const std::uint32_t tfFlags = h.u32() & 0xffffff;
        const std::uint32_t id = h.u32();
        auto track = std::find_if(tracks_.begin(), tracks_.end(), [&](const Track& t) { return t.id == id; });
        if (track == tracks_.end()) return std::nullopt;
        TrackDefaults d = track->defaults;
        std::optional<std::uint64_t> base;
        if (tfFlags & 0x000001) base = h.u64();
        if (tfFlags & 0x000002) d.description = h.u32();
        if (tfFlags & 0x000008) d.duration = h.u32();
        if (tfFlags & 0x000010) d.size = h.u32();
        if (tfFlags & 0x000020) d.flags = h.u32();
        if (h.bad) return std::nullopt;
        // Without an explicit base, data follows the previous track's data in this fragment,
        // unless the fragment header itself is the base.
        if (!base) base = (tfFlags & 0x020000) || firstTraf ? moof.offset : previousDataEnd;
        firstTraf = false;

        TrackRun run;
        run.track = &*track;
        if (const Child* tfdt = find(*parts, fourcc("tfdt"))) {
            Reader r(tfdt->payload);
            const auto version = r.be(1);
            r.skip(3);
            run.decodeTime = version == 1 ? r.u64() : r.u32();
            if (r.bad) return std::nullopt;
        }
        std::uint64_t next = *base;
        for (const auto& trun : *parts) {
            if (trun.type != fourcc("trun")) continue;
            Reader r(trun.payload);
            const auto version = r.be(1);
            const std::uint32_t f = std::uint32_t(r.be(3));
            const std::uint32_t count = r.u32();
            if (f & 0x001) next = *base + std::uint64_t(std::int64_t(std::int32_t(r.u32())));
            std::optional<std::uint32_t> firstFlags;
            if (f & 0x004) firstFlags = r.u32();
            const std::size_t perSample =
                4u * (!!(f & 0x100) + !!(f & 0x200) + !!(f & 0x400) + !!(f & 0x800));
            if (r.bad || (perSample && r.left() / perSample < count)) return std::nullopt;
            for (std::uint32_t i = 0; i < count; ++i) {
                Sample s;
                s.description = d.description;
                s.duration = f & 0x100 ? r.u32() : d.duration;
                s.size = f & 0x200 ? r.u32() : d.size;
                s.flags = f & 0x400 ? r.u32() : i == 0 && firstFlags ? *firstFlags : d.flags;
                if (f & 0x800) {
                    const std::uint32_t v = r.u32();
                    s.compositionOffset = version == 0 && v > 0x7fffffffu ? 0x7fffffff : std::int32_t(v);
                }
                s.offset = next;
                next += s.size;
                run.samples.push_back(s);
            }
            if (r.bad) return std::nullopt;
        }
        previousDataEnd = next;
        runs.push_back(std::move(run));
    }
    return runs;
}

void Finisher::accept(std::vector<TrackRun>& runs) {
    for (auto& run : runs) {
        Track& t = *run.track;
        if (run.samples.empty()) continue;
        if (t.samples.empty()) {
            t.startTime = t.nextTime = run.decodeTime.value_or(0);
        } else if (run.decodeTime && *run.decodeTime != t.nextTime) {
            // The fragment's own decode time is what players follow: stretch or shorten the last
            // sample before it so that the plain file keeps every time.
            Sample& last = t.samples.back();
            const std::int64_t d = std::int64_t(last.duration) + std::int64_t(*run.decodeTime - t.nextTime);
            const std::int64_t clamped =
                std::clamp<std::int64_t>(d, 0, std::numeric_limits<std::uint32_t>::max());
            t.nextTime += std::uint64_t(clamped - std::int64_t(last.duration));
            last.duration = std::uint32_t(clamped);
        }
        for (const auto& s : run.samples)
            t.nextTime += s.duration;
        t.samples.insert(t.samples.end(), run.samples.begin(), run.samples.end());
    }
}

// A timecode track holds one sample that names the time of the first frame; it lasts as long as
// the video (it is written with no duration at the start of a fragmented file).
void Finisher::fixTimecode() {
    const auto video = std::find_if(tracks_.begin(), tracks_.end(), [](const Track& t) {
        return t.handler == fourcc("vide") && !t.samples.empty();
    });
    if (video == tracks_.end()) return;
    const std::uint64_t videoEnd = video->nextTime;
    for (auto& t : tracks_) {
        if (t.handler != fourcc("tmcd") || t.samples.size() != 1) continue;
        const unsigned __int128 scaled =
            ((unsigned __int128)videoEnd * t.timeScale + video->timeScale - 1) / video->timeScale;
        const std::uint64_t length = std::uint64_t(std::min<unsigned __int128>(scaled, 0xffffffffu));
        if (length == 0) continue;
        t.samples[0].duration = std::uint32_t(length);
        t.nextTime = t.startTime + length;
    }
}

std::uint64_t rescaleUp(std::uint64_t v, std::uint32_t from, std::uint32_t to) {
    const unsigned __int128 r = ((unsigned __int128)v * to + from - 1) / from;
    return std::uint64_t(std::min<unsigned __int128>(r, std::numeric_limits<std::uint64_t>::max()));
}

// Rewrites a version 0/1 header box (mvhd, tkhd, mdhd) with a new duration; the version grows to
// 1 when the duration no longer fits 32 bits. Between the times and the duration, mvhd and mdhd
// hold their time scale, tkhd its track id and a reserved word.
void writeTimedHeader(Writer& w, const Child& box, std::uint64_t duration, bool tkhd) {
    Reader r(box.payload);
    const auto version = std::uint8_t(r.be(1));
    const std::uint32_t flags = std::uint32_t(r.be(3));
    const std::uint64_t created = version == 1 ? r.u64() : r.u32();
    const std::uint64_t modified = version == 1 ? r.u64() : r.u32();
    const std::uint32_t a = r.u32(); // mvhd/mdhd: time scale; tkhd: track id
    const std::uint32_t reserved = tkhd ? r.u32() : 0;
    r.skip(version == 1 ? 8 : 4); // the old duration
    const auto rest = box.payload.subspan(r.pos());
    const bool wide =
        version == 1 || duration > 0xffffffffu || created > 0xffffffffu || modified > 0xffffffffu;
    const std::size_t at = w.beginFull(box.type, wide ? 1 : 0, flags);
    w.be(created, wide ? 8 : 4);
    w.be(modified, wide ? 8 : 4);
    w.u32(a);
    if (tkhd) w.u32(reserved);
    w.be(duration, wide ? 8 : 4);
    w.bytes(rest);
    w.end(at);
}

struct Edit {
    std::uint64_t duration = 0; // movie time scale
    std::int64_t mediaTime = 0; // -1: empty
    std::uint32_t rate = 0x00010000;
};

// The track's edit list in the plain file, if it needs one, and its length in the movie.
struct TrackTiming {
    std::optional<std::vector<Edit>> edits;
    std::uint64_t movieDuration = 0;
};

TrackTiming timingOf(const std::vector<Child>& trak, const Track& t, std::uint32_t movieScale) {
    const std::uint64_t media = t.nextTime - t.startTime;
    TrackTiming out;
    if (const Child* edts = find(trak, fourcc("edts"))) {
        // A fragmented file's edits cannot know the length: a zero-length edit into the media
        // means "to its end" there, and gets the real length here.
        auto kids = children(edts->payload);
        const Child* elst = kids ? find(*kids, fourcc("elst")) : nullptr;
        if (elst) {
            Reader r(elst->payload);
            const auto version = r.be(1);
            r.skip(3);
            std::vector<Edit> edits(r.u32());
            for (auto& e : edits) {
                e.duration = version == 1 ? r.u64() : r.u32();
                e.mediaTime = version == 1 ? std::int64_t(r.u64()) : std::int64_t(std::int32_t(r.u32()));
                e.rate = r.u32();
                if (r.bad) break;
                if (e.duration == 0 && e.mediaTime >= 0)
                    e.duration = rescaleUp(media - std::min<std::uint64_t>(media, std::uint64_t(e.mediaTime)),
                                           t.timeScale, movieScale);
            }
            if (!r.bad) out.edits = std::move(edits);
        }
    } else if (t.startTime > 0) {
        // A track that starts late keeps its start with an empty edit.
        out.edits = std::vector<Edit>{{rescaleUp(t.startTime, t.timeScale, movieScale), -1},
                                      {rescaleUp(media, t.timeScale, movieScale), 0}};
    }
    if (out.edits)
        for (const auto& e : *out.edits)
            out.movieDuration += e.duration;
    else
        out.movieDuration = rescaleUp(media, t.timeScale, movieScale);
    return out;
}

void writeEdits(Writer& w, const std::vector<Edit>& edits) {
    const auto e = w.begin(fourcc("edts"));
    const auto l = w.beginFull(fourcc("elst"), 1);
    w.u32(edits.size());
    for (const auto& x : edits)
        w.u64(x.duration), w.u64(std::uint64_t(x.mediaTime)), w.u32(x.rate);
    w.end(l);
    w.end(e);
}

void Finisher::writeSampleTables(Writer& w, const Track& t) const {
    const auto& s = t.samples;
    {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> runs; // count, duration
        for (const auto& x : s)
            if (!runs.empty() && runs.back().second == x.duration)
                ++runs.back().first;
            else
                runs.emplace_back(1, x.duration);
        const auto at = w.beginFull(fourcc("stts"), 0);
        w.u32(runs.size());
        for (auto [n, d] : runs)
            w.u32(n), w.u32(d);
        w.end(at);
    }
    if (std::any_of(s.begin(), s.end(), [](const Sample& x) { return x.compositionOffset != 0; })) {
        const bool negative =
            std::any_of(s.begin(), s.end(), [](const Sample& x) { return x.compositionOffset < 0; });
        std::vector<std::pair<std::uint32_t, std::int32_t>> runs;
        for (const auto& x : s)
            if (!runs.empty() && runs.back().second == x.compositionOffset)
                ++runs.back().first;
            else
                runs.emplace_back(1, x.compositionOffset);
        const auto at = w.beginFull(fourcc("ctts"), negative ? 1 : 0);
        w.u32(runs.size());
        for (auto [n, o] : runs)
            w.u32(n), w.u32(std::uint32_t(o));
        w.end(at);
    }
    const bool allSync =
        std::none_of(s.begin(), s.end(), [](const Sample& x) { return x.flags & kNonSyncFlag; });
    if (t.handler == fourcc("vide") || !allSync) {
        const auto at = w.beginFull(fourcc("stss"), 0);
        const std::size_t countAt = w.out.size();
        w.u32(0);
        std::uint32_t n = 0;
        for (std::size_t i = 0; i < s.size(); ++i)
            if (!(s[i].flags & kNonSyncFlag)) w.u32(i + 1), ++n;
        for (int k = 0; k < 4; ++k)
            w.out[countAt + std::size_t(k)] = std::uint8_t(n >> (24 - 8 * k));
        w.end(at);
    }
    // A chunk is a run of samples that lie back to back in the file with one description.
    std::vector<std::uint64_t> chunks;
    {
        struct Entry {
            std::uint32_t firstChunk, perChunk, description;
        };
        std::vector<Entry> entries;
        std::uint32_t inChunk = 0, description = 0;
        std::uint64_t end = 0;
        auto close = [&] {
            if (inChunk == 0) return;
            if (entries.empty() || entries.back().perChunk != inChunk ||
                entries.back().description != description)
                entries.push_back({std::uint32_t(chunks.size()), inChunk, description});
        };
        for (const auto& x : s) {
            if (inChunk == 0 || x.offset != end || x.description != description) {
                close();
                chunks.push_back(x.offset);
                inChunk = 0;
                description = x.description;
            }
            ++inChunk;
            end = x.offset + x.size;
        }
        close();
        const auto at = w.beginFull(fourcc("stsc"), 0);
        w.u32(entries.size());
        for (const auto& e : entries)
            w.u32(e.firstChunk), w.u32(e.perChunk), w.u32(e.description);
        w.end(at);
    }
    {
        const bool same = !s.empty() && std::all_of(s.begin(), s.end(),
                                                    [&](const Sample& x) { return x.size == s[0].size; });
        const auto at = w.beginFull(fourcc("stsz"), 0);
        w.u32(same ? s[0].size : 0);
        w.u32(s.size());
        if (!same)
            for (const auto& x : s)
                w.u32(x.size);
        w.end(at);
    }
    const bool wide = !chunks.empty() && chunks.back() > 0xffffffffu;
    const auto at = w.beginFull(fourcc(wide ? "co64" : "stco"), 0);
    w.u32(chunks.size());
    for (auto c : chunks)
        w.be(c, wide ? 8 : 4);
    w.end(at);
}

// The tables rebuilt from the fragments (and those that index samples, which are dropped).
bool isSampleTable(std::uint32_t type) {
    static constexpr std::uint32_t tables[] = {fourcc("stts"), fourcc("ctts"), fourcc("cslg"), fourcc("stss"),
                                               fourcc("stps"), fourcc("sdtp"), fourcc("stsz"), fourcc("stz2"),
                                               fourcc("stsc"), fourcc("stco"), fourcc("co64"), fourcc("sbgp"),
                                               fourcc("subs"), fourcc("saiz"), fourcc("saio")};
    return std::find(std::begin(tables), std::end(tables), type) != std::end(tables);
}

void Finisher::writeTrack(Writer& w, const Child& trak, const Track& t) const {
    const std::uint64_t mediaDuration = t.nextTime - t.startTime;
    const auto at = w.begin(fourcc("trak"));
    const auto kids = *children(trak.payload); // checked by readMovie
    const TrackTiming timing = timingOf(kids, t, movieTimeScale_);
    for (const auto& c : kids) {
        if (c.type == fourcc("tkhd")) {
            writeTimedHeader(w, c, timing.movieDuration, true);
            if (timing.edits) writeEdits(w, *timing.edits);
        } else if (c.type == fourcc("edts") && timing.edits) {
            continue; // written after tkhd
        } else if (c.type == fourcc("mdia")) {
            const auto m = w.begin(fourcc("mdia"));
            const auto mdiaKids = *children(c.payload);
            for (const auto& d : mdiaKids) {
                if (d.type == fourcc("mdhd")) {
                    writeTimedHeader(w, d, mediaDuration, false);
                } else if (d.type == fourcc("minf")) {
                    const auto i = w.begin(fourcc("minf"));
                    const auto minfKids = *children(d.payload);
                    for (const auto& e : minfKids) {
                        if (e.type != fourcc("stbl")) {
                            w.bytes(e.whole);
                            continue;
                        }
                        const auto b = w.begin(fourcc("stbl"));
                        const auto tables = *children(e.payload);
                        w.bytes(find(tables, fourcc("stsd"))->whole);
                        writeSampleTables(w, t);
                        for (const auto& x : tables)
                            if (x.type != fourcc("stsd") && !isSampleTable(x.type)) w.bytes(x.whole);
                        w.end(b);
                    }
                    w.end(i);
                } else {
                    w.bytes(d.whole);
                }
            }
            w.end(m);
        } else {
            w.bytes(c.whole);
        }
    }
    w.end(at);
}

Result<Bytes> Finisher::buildMovie() const {
    Writer w;
    const auto at = w.begin(fourcc("moov"));
    const auto top = *children(moov_);
    std::uint64_t longest = 0;
    std::size_t n = 0;
    for (const auto& c : top)
        if (c.type == fourcc("trak"))
            longest = std::max(longest,
                               timingOf(*children(c.payload), tracks_[n++], movieTimeScale_).movieDuration);
    n = 0;
    for (const auto& c : top) {
        if (c.type == fourcc("mvex")) continue; // no fragments any more
        if (c.type == fourcc("mvhd"))
            writeTimedHeader(w, c, longest, false);
        else if (c.type == fourcc("trak"))
            writeTrack(w, c, tracks_[n++]);
        else
            w.bytes(c.whole);
    }
    w.end(at);
    if (w.out.size() > 0xffffffffu) return fail(FinishFailure::io, "the index is too large");
    return std::move(w.out);
}

Result<void> Finisher::open() {
    fd_.reset(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd_) {
        const int e = errno;
        return fail(FinishFailure::io, std::strerror(e));
    }
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0) return ioFail("cannot read");
    if (!S_ISREG(st.st_mode)) return fail(FinishFailure::notFragmented, "it is not a regular file");
    fileSize_ = std::uint64_t(st.st_size);
    return {};
}

Result<Finisher::Layout> Finisher::scan() {
    // Walk the top-level boxes: ftyp …, moov (with fragment defaults), then fragment headers each
    // followed by their media data.
    Layout layout;
    std::optional<BoxHeader> moov;
    std::optional<BoxHeader> pendingMoof;
    std::vector<TrackRun> pendingRuns;
    std::uint64_t pos = 0;
    bool sawFtyp = false, mediaFirst = false;
    // Only a fragment that runs into the end of the file is torn; anything else that does not
    // fit is not a file this finisher may change.
    const auto damaged = [&](const std::string& what) {
        return fail(FinishFailure::notFragmented, "it has " + what + " at byte " + std::to_string(pos));
    };
    for (;;) {
        auto h = header(pos);
        if (!h) return h.error();
        if (!*h) break; // the end, or a box torn by it
        const BoxHeader b = **h;
        if (pos == 0 && b.type != fourcc("ftyp") && b.type != fourcc("moov"))
            return fail(FinishFailure::notFragmented, "it is not a movie file");
        sawFtyp |= b.type == fourcc("ftyp");
        if (!moov) {
            if (b.type == fourcc("moov")) {
                if (auto r = readMovie(b); !r) return r.error();
                if (mediaFirst)
                    return fail(FinishFailure::notFragmented, "it has media before its movie header");
                moov = b;
                layout.keptEnd = b.end();
            } else if (b.type == fourcc("moof") || b.type == fourcc("mdat")) {
                mediaFirst = true; // a plain file (finished already?) has its index after the media
            }
        } else if (b.type == fourcc("moof")) {
            if (pendingMoof) return damaged("a fragment header without media data");
            auto body = payloadOf(b);
            if (!body) return body.error();
            auto runs = readFragment(b, *body);
            if (!runs) return damaged("a fragment header that does not parse");
            pendingMoof = b;
            pendingRuns = std::move(*runs);
        } else if (b.type == fourcc("mdat")) {
            if (!pendingMoof) return damaged("media data outside a fragment");
            if (!samplesInside(pendingRuns, b)) return damaged("samples outside their fragment");
            accept(pendingRuns);
            pendingMoof.reset();
            ++layout.fragments;
            layout.keptEnd = b.end();
        } else if (pendingMoof) {
            return damaged("a fragment header without media data");
        } else if (b.type != fourcc("mfra") && b.type != fourcc("moov") && b.type != fourcc("free") &&
                   b.type != fourcc("skip")) {
            layout.keptEnd = b.end(); // something unknown after a fragment: kept inside the media data
        }
        pos = b.end();
    }
    if (!moov)
        return fail(FinishFailure::notFragmented,
                    sawFtyp ? "it has no movie header" : "it is not a movie file");
    if (layout.fragments == 0) return fail(FinishFailure::noMedia, "it holds no complete fragment");
    layout.moov = *moov;
    return layout;
}

bool Finisher::samplesInside(const std::vector<TrackRun>& runs, const BoxHeader& mdat) {
    const std::uint64_t from = mdat.offset + mdat.headerSize, to = mdat.end();
    return std::all_of(runs.begin(), runs.end(), [&](const TrackRun& r) {
        return std::all_of(r.samples.begin(), r.samples.end(), [&](const Sample& s) {
            return s.offset >= from && s.offset <= to && s.size <= to - s.offset;
        });
    });
}

Result<void> Finisher::appendIndex(std::uint64_t keptEnd, const Bytes& index) {
    if (keptEnd < fileSize_ && ::ftruncate(fd_.get(), off_t(keptEnd)) != 0)
        return ioFail("cannot cut the torn end");
    for (std::size_t done = 0; done < index.size();) {
        const ssize_t n =
            ::pwrite(fd_.get(), index.data() + done, index.size() - done, off_t(keptEnd + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            // Without the partial index the file is the fragmented one again; with it, it is still
            // readable and a later finish cuts it.
            const std::string why = std::string("cannot write the index: ") + std::strerror(errno);
            if (::ftruncate(fd_.get(), off_t(keptEnd)) != 0)
                return fail(FinishFailure::io, why + " (its partial copy stays at the end)");
            return fail(FinishFailure::io, why);
        }
        done += std::size_t(n);
    }
    if (::fsync(fd_.get()) != 0) return ioFail("cannot sync the index");
    return {};
}

Result<void> Finisher::rewriteHeader(const BoxHeader& moov, std::uint64_t keptEnd) {
    const std::uint64_t span = keptEnd - moov.offset;
    Writer h;
    if (span <= 0xffffffffu) {
        h.u32(span), h.u32(fourcc("mdat"));
    } else {
        h.u32(1), h.u32(fourcc("mdat")), h.u64(span);
    }
    if (h.out.size() > moov.size) return fail(FinishFailure::io, "the movie header is too small to rewrite");
    if (::pwrite(fd_.get(), h.out.data(), h.out.size(), off_t(moov.offset)) != ssize_t(h.out.size()))
        return ioFail("cannot rewrite the header");
    if (::fsync(fd_.get()) != 0) return ioFail("cannot sync the header");
    return {};
}

Result<FinishedMovie> Finisher::run() {
    if (auto opened = open(); !opened) return opened.error();
    auto layout = scan();
    if (!layout) return layout.error();
    fixTimecode();
    auto index = buildMovie();
    if (!index) return index.error();

    FinishedMovie out;
    out.fragments = layout->fragments;
    out.cutBytes = fileSize_ - layout->keptEnd;
    for (const auto& t : tracks_)
        out.tracks.push_back(
            {t.id, fourccText(t.handler), t.timeScale, t.samples.size(), t.nextTime - t.startTime});

    // 1. Cut what follows the last complete fragment (the fragment index, a torn fragment, an
    //    index of an earlier interrupted finish) and append the new index; synced before the
    //    header says it is there. Until then the file is still the fragmented one.
    if (auto appended = appendIndex(layout->keptEnd, *index); !appended) return appended.error();
    // 2. One write of at most 16 bytes inside the first sector turns the old header and every
    //    fragment into one media-data box; sample offsets stay as they are.
    if (auto rewritten = rewriteHeader(layout->moov, layout->keptEnd); !rewritten) return rewritten.error();
    return out;
}

} // namespace

Result<FinishedMovie> finishFragmentedFile(const std::string& path) {
    return Finisher(path).run();
}

} // namespace lc
