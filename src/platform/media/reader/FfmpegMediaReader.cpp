#include "platform/media/reader/FfmpegMediaReader.h"

#include "platform/media/FfHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>
#include <limits>

namespace lc {
namespace {

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct SwsFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = ff::CodecContextPtr;
using PacketPtr = ff::PacketPtr;
using AvFramePtr = ff::FramePtr;
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Error avError(const std::string& path, const char* what, int code) {
    return makeError(std::string(what) + " \"" + baseName(path) + "\": " + ff::errorText(code), code,
                     "FFmpeg");
}

MediaTime toTime(std::int64_t ts, AVRational tb) {
    if (tb.num == 1 && tb.den > 0) return MediaTime{ts, tb.den};
    return MediaTime{ts * tb.num, tb.den > 0 ? tb.den : 1};
}

std::int64_t toStreamTs(const MediaTime& t, AVRational tb) {
    return av_rescale_q_rnd(t.value, AVRational{1, t.scale}, tb,
                            AVRounding(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
}

// How a fragmented file's fragments are found.
enum class Fragments {
    // From its fragment index (mfra), if it has one: the fragments' headers are read only when
    // reached, not all of them at open. For measuring and reading in order: FFmpeg 5.1 lands a
    // seek in a file opened this way tens of seconds off.
    fromIndex,
    // Every fragment header read at open (a tenth of a second or more for an hour of fragments):
    // seeks work anywhere.
    fromHeaders,
};

// Only local movie containers are read: the file protocol alone (no URLs, no nested
// protocols such as concat) and the QuickTime/MP4 demuxer alone (no playlists that could
// point elsewhere). External data references stay off (the demuxer's default).
Result<FormatPtr> openMovie(const std::string& path, Fragments fragments) {
    const AVInputFormat* mov = av_find_input_format("mov");
    ff::Dictionary opts;
    opts.set("protocol_whitelist", "file");
    if (fragments == Fragments::fromIndex) opts.set("use_mfra_for", "dts");
    AVFormatContext* ctx = nullptr;
    const std::string url = "file:" + path;
    const int r = avformat_open_input(&ctx, url.c_str(), mov, opts.slot());
    if (r < 0) return avError(path, "Cannot open", r);
    return FormatPtr(ctx);
}

int firstStream(AVFormatContext* fmt, AVMediaType type) {
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        if (fmt->streams[i]->codecpar->codec_type == type) return int(i);
    return -1;
}

Result<CodecPtr> openDecoder(const std::string& path, AVStream* st) {
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) return makeError("Cannot decode \"" + baseName(path) + "\": unsupported codec", 0, "FFmpeg");
    CodecPtr c(avcodec_alloc_context3(codec));
    if (!c) return makeError("Out of memory", 0, "FFmpeg");
    int r = avcodec_parameters_to_context(c.get(), st->codecpar);
    if (r < 0) return avError(path, "Cannot decode", r);
    c->pkt_timebase = st->time_base;
    // One thread per decoder: several clips decode side by side, next to the encoder.
    c->thread_count = 1;
    r = avcodec_open2(c.get(), codec, nullptr);
    if (r < 0) return avError(path, "Cannot decode", r);
    return c;
}

struct Span {
    std::int64_t first = std::numeric_limits<std::int64_t>::max();
    std::int64_t end = std::numeric_limits<std::int64_t>::min();
    bool any() const { return first <= end && first != std::numeric_limits<std::int64_t>::max(); }
};

// Packets that a decoder drops at the start (encoder priming) do not belong to the track's
// presentation span.
std::int64_t skippedSamples(const AVPacket* p) {
    size_t size = 0;
    const uint8_t* d = av_packet_get_side_data(p, AV_PKT_DATA_SKIP_SAMPLES, &size);
    if (!d || size < 4) return 0;
    std::uint32_t v;
    std::memcpy(&v, d, 4);
    return std::int64_t(v);
}

} // namespace

namespace {

// The presentation spans of the first video and first audio track, from the packets seen.
struct Measure {
    AVFormatContext* fmt;
    int vi;
    int ai;
    Span video, audio;

    explicit Measure(AVFormatContext* f)
        : fmt(f), vi(firstStream(f, AVMEDIA_TYPE_VIDEO)), ai(firstStream(f, AVMEDIA_TYPE_AUDIO)) {
        for (unsigned i = 0; i < fmt->nb_streams; ++i)
            if (int(i) != vi && int(i) != ai) fmt->streams[i]->discard = AVDISCARD_ALL;
    }

    void account(const AVPacket* pkt) {
        const int si = pkt->stream_index;
        if (si != vi && si != ai) return;
        AVStream* st = fmt->streams[si];
        const std::int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        if (ts == AV_NOPTS_VALUE) return;
        std::int64_t dur = pkt->duration;
        if (dur <= 0 && si == vi && st->avg_frame_rate.num > 0)
            dur = av_rescale_q(1, av_inv_q(st->avg_frame_rate), st->time_base);
        Span& s = si == vi ? video : audio;
        std::int64_t start = ts;
        if (si == ai && st->codecpar->sample_rate > 0) {
            const std::int64_t skip = skippedSamples(pkt);
            if (skip > 0)
                start += av_rescale_q(skip, AVRational{1, st->codecpar->sample_rate}, st->time_base);
        }
        s.first = std::min(s.first, start);
        s.end = std::max(s.end, ts + std::max<std::int64_t>(dur, 0));
    }

    MediaInfo info() const {
        MediaInfo out;
        if (vi >= 0 && video.any() && video.end > video.first) {
            AVStream* st = fmt->streams[vi];
            out.video = TrackRange{toTime(video.first, st->time_base),
                                   toTime(video.end - video.first, st->time_base)};
            out.width = st->codecpar->width;
            out.height = st->codecpar->height;
            if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0)
                out.frameRate = av_q2d(st->avg_frame_rate);
        }
        if (ai >= 0 && audio.any() && audio.end > audio.first) {
            AVStream* st = fmt->streams[ai];
            out.audio = TrackRange{toTime(audio.first, st->time_base),
                                   toTime(audio.end - audio.first, st->time_base)};
        }
        return out;
    }
};

// Packets read from the start of each track before its first presentation time is taken as
// known (enough for any reordering an encoder does).
constexpr int headPackets = 32;

} // namespace

Result<MediaInfo> FfmpegMediaReader::scanAllPackets(const std::string& path) {
    auto opened = openMovie(path, Fragments::fromIndex);
    if (!opened) return opened.error();
    Measure m(opened->get());
    PacketPtr pkt(av_packet_alloc());
    int r = 0;
    while ((r = av_read_frame(m.fmt, pkt.get())) >= 0) {
        m.account(pkt.get());
        av_packet_unref(pkt.get());
    }
    if (r != AVERROR_EOF) return avError(path, "Cannot read", r);
    return m.info();
}

Result<MediaInfo> FfmpegMediaReader::probe(const std::string& path) const {
    auto opened = openMovie(path, Fragments::fromIndex);
    if (!opened) return opened.error();
    Measure m(opened->get());
    std::vector<int> tracks;
    for (int si : {m.vi, m.ai})
        if (si >= 0) tracks.push_back(si);
    // The demuxer has read the sample tables (or every fragment header) at open; without an
    // index there is nothing to jump with.
    for (int si : tracks)
        if (avformat_index_get_entries_count(m.fmt->streams[si]) <= 0) return scanAllPackets(path);

    PacketPtr pkt(av_packet_alloc());
    // The start: the first packets of each track.
    int seen[2] = {0, 0};
    auto headDone = [&] {
        return (m.vi < 0 || seen[0] >= headPackets) && (m.ai < 0 || seen[1] >= headPackets);
    };
    int r = 0;
    while (!headDone() && (r = av_read_frame(m.fmt, pkt.get())) >= 0) {
        m.account(pkt.get());
        if (pkt->stream_index == m.vi) ++seen[0];
        if (pkt->stream_index == m.ai) ++seen[1];
        av_packet_unref(pkt.get());
    }
    if (r == AVERROR_EOF) return m.info(); // a short file: every packet was read
    if (r < 0) return avError(path, "Cannot read", r);

    // The end: each track from its last key frames but one (reordered frames cannot show later
    // than those) to the end of the file, the other track skipped meanwhile.
    for (int si : tracks) {
        AVStream* st = m.fmt->streams[si];
        // A file opened from its fragment index knows only the fragments read so far: going to
        // the end reads the last one's header into the index.
        av_seek_frame(m.fmt, si, std::numeric_limits<std::int64_t>::max() / 2, AVSEEK_FLAG_BACKWARD);
        const int n = avformat_index_get_entries_count(st);
        int from = 0, keys = 0;
        std::int64_t lastKey = 0;
        for (int i = n - 1; i >= 0; --i) {
            const AVIndexEntry* e = avformat_index_get_entry(st, i);
            if (!e || !(e->flags & AVINDEX_KEYFRAME)) continue;
            if (++keys == 1) {
                lastKey = e->timestamp;
                from = i;
                continue;
            }
            // The key frame before the last, unless the index has a gap there (fragments not
            // read): frames are never reordered across more than a minute.
            if (av_rescale_q(lastKey - e->timestamp, st->time_base, AVRational{1, 1}) <= 60) from = i;
            break;
        }
        const AVIndexEntry* e = avformat_index_get_entry(st, from);
        if (!e) return scanAllPackets(path);
        for (int other : tracks)
            m.fmt->streams[other]->discard = other == si ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        if (av_seek_frame(m.fmt, si, e->timestamp, AVSEEK_FLAG_BACKWARD) < 0) return scanAllPackets(path);
        while ((r = av_read_frame(m.fmt, pkt.get())) >= 0) {
            m.account(pkt.get());
            av_packet_unref(pkt.get());
        }
        if (r != AVERROR_EOF) return avError(path, "Cannot read", r);
    }
    return m.info();
}

namespace {

// Shared by both decoders: one stream of one file, packets in, frames out.
struct StreamDecoder {
    std::string path;
    FormatPtr fmt;
    CodecPtr codec;
    int stream = -1;
    PacketPtr pkt{av_packet_alloc()};
    bool inputDone = false;
    Fragments fragments = Fragments::fromIndex;

    static Result<StreamDecoder> open(const std::string& path, AVMediaType type, Fragments fragments) {
        auto opened = openMovie(path, fragments);
        if (!opened) return opened.error();
        StreamDecoder d;
        d.path = path;
        d.fragments = fragments;
        d.fmt = std::move(*opened);
        d.stream = firstStream(d.fmt.get(), type);
        if (d.stream < 0)
            return makeError("\"" + baseName(path) + "\" has no " +
                             (type == AVMEDIA_TYPE_VIDEO ? "video" : "audio") + " track");
        for (unsigned i = 0; i < d.fmt->nb_streams; ++i)
            if (int(i) != d.stream) d.fmt->streams[i]->discard = AVDISCARD_ALL;
        auto codec = openDecoder(path, d.fmt->streams[d.stream]);
        if (!codec) return codec.error();
        d.codec = std::move(*codec);
        return d;
    }

    AVStream* st() const { return fmt->streams[stream]; }

    // Fills `frame` with the next decoded frame; false at the end of the stream.
    Result<bool> receive(AVFrame* frame) {
        for (;;) {
            int r = avcodec_receive_frame(codec.get(), frame);
            if (r == 0) return true;
            if (r == AVERROR_EOF) return false;
            if (r != AVERROR(EAGAIN)) return avError(path, "Cannot decode", r);
            if (inputDone) return false;
            r = av_read_frame(fmt.get(), pkt.get());
            if (r == AVERROR_EOF) {
                inputDone = true;
                avcodec_send_packet(codec.get(), nullptr);
                continue;
            }
            if (r < 0) return avError(path, "Cannot read", r);
            if (pkt->stream_index == stream) {
                r = avcodec_send_packet(codec.get(), pkt.get());
                // A damaged packet is skipped; the decoder recovers at the next key frame.
                if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_INVALIDDATA) {
                    av_packet_unref(pkt.get());
                    return avError(path, "Cannot decode", r);
                }
            }
            av_packet_unref(pkt.get());
        }
    }
};

class FfVideoDecoder final : public VideoDecoder {
public:
    explicit FfVideoDecoder(StreamDecoder d) : d_(std::move(d)) {}
    Result<std::optional<Frame>> next() override;
    Result<void> seek(const MediaTime& t) override;

private:
    StreamDecoder d_;
    SwsPtr sws_;
};

// A decoded picture handed out without a copy: the YuvFrame points into the decoder's
// reference-counted buffers, which stay alive as long as the picture does.
struct WrappedPicture {
    YuvFrame yuv;
    AvFramePtr frame;
};

Result<std::optional<VideoDecoder::Frame>> FfVideoDecoder::next() {
    AvFramePtr frame(av_frame_alloc());
    auto got = d_.receive(frame.get());
    if (!got) return got.error();
    if (!*got) return std::optional<Frame>();

    const std::int64_t ts =
        frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
    Frame out;
    out.pts = toTime(ts == AV_NOPTS_VALUE ? 0 : ts, d_.st()->time_base);
    const auto format = AVPixelFormat(frame->format);
    if ((format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P) && frame->width % 2 == 0 &&
        frame->height % 2 == 0) {
        auto w = std::make_shared<WrappedPicture>();
        w->yuv.width = frame->width;
        w->yuv.height = frame->height;
        for (int i = 0; i < 3; ++i) {
            w->yuv.planes[i] = frame->data[i];
            w->yuv.strides[i] = frame->linesize[i];
        }
        w->frame = std::move(frame);
        out.picture = YuvFramePtr(w, &w->yuv);
        return std::optional<Frame>(std::move(out));
    }
    // Other formats (and odd sizes) become I420 of the next even size.
    const int W = (frame->width + 1) & ~1, H = (frame->height + 1) & ~1;
    sws_.reset(sws_getCachedContext(sws_.release(), frame->width, frame->height, format, W, H,
                                    AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!sws_) {
        const char* name = av_get_pix_fmt_name(format);
        return makeError("Cannot convert the pictures of \"" + baseName(d_.path) +
                             "\": unsupported pixel format " + (name ? name : "(unknown)"),
                         0, "FFmpeg");
    }
    auto pic = YuvFrame::allocate(W, H);
    sws_scale(sws_.get(), frame->data, frame->linesize, 0, frame->height, pic->planes, pic->strides);
    out.picture = std::move(pic);
    return std::optional<Frame>(std::move(out));
}

Result<void> FfVideoDecoder::seek(const MediaTime& t) {
    if (d_.fragments != Fragments::fromHeaders) {
        // Read in order until now; a seek needs every fragment's header.
        auto reopened = StreamDecoder::open(d_.path, AVMEDIA_TYPE_VIDEO, Fragments::fromHeaders);
        if (!reopened) return reopened.error();
        d_ = std::move(*reopened);
    }
    StreamDecoder& d = d_;
    const std::int64_t ts = toStreamTs(t, d.st()->time_base);
    const int r =
        avformat_seek_file(d.fmt.get(), d.stream, std::numeric_limits<std::int64_t>::min(), ts, ts, 0);
    if (r < 0) {
        // Nothing at or before t (t lies before the first key frame): start from the beginning.
        const int r0 = avformat_seek_file(d.fmt.get(), d.stream, std::numeric_limits<std::int64_t>::min(), 0,
                                          std::numeric_limits<std::int64_t>::max(), AVSEEK_FLAG_BACKWARD);
        if (r0 < 0) return avError(d.path, "Cannot seek in", r0);
    }
    avcodec_flush_buffers(d.codec.get());
    d.inputDone = false;
    return {};
}

class FfAudioDecoder final : public AudioDecoder {
public:
    explicit FfAudioDecoder(StreamDecoder d) { m_.d = std::move(d); }
    Result<std::optional<Block>> next() override;

private:
    struct State {
        StreamDecoder d;
        SwrPtr swr;
        AvFramePtr frame{av_frame_alloc()};
        bool flushed = false;
        MediaTime nextPts; // where the resampler's tail belongs
    } m_;
};

Result<std::optional<AudioDecoder::Block>> FfAudioDecoder::next() {
    State& m = m_;
    constexpr int outRate = 48000;
    for (;;) {
        if (m.flushed) return std::optional<Block>();
        auto got = m.d.receive(m.frame.get());
        if (!got) return got.error();
        AVFrame* f = m.frame.get();
        if (!*got) {
            // Drain what the resampler still holds.
            m.flushed = true;
            if (!m.swr) return std::optional<Block>();
            const int room = int(swr_get_out_samples(m.swr.get(), 0));
            if (room <= 0) return std::optional<Block>();
            Block b;
            b.samples.resize(std::size_t(room) * 2);
            uint8_t* out[1] = {reinterpret_cast<uint8_t*>(b.samples.data())};
            const int n = swr_convert(m.swr.get(), out, room, nullptr, 0);
            if (n <= 0) return std::optional<Block>();
            b.samples.resize(std::size_t(n) * 2);
            b.pts = m.nextPts;
            return std::optional<Block>(std::move(b));
        }
        if (!m.swr) {
            AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
            AVChannelLayout in{};
            if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || f->ch_layout.nb_channels <= 0)
                av_channel_layout_default(&in, std::max(f->ch_layout.nb_channels, 1));
            else
                av_channel_layout_copy(&in, &f->ch_layout);
            SwrContext* s = nullptr;
            const int r = swr_alloc_set_opts2(&s, &stereo, AV_SAMPLE_FMT_S16, outRate, &in,
                                              AVSampleFormat(f->format), f->sample_rate, 0, nullptr);
            av_channel_layout_uninit(&in);
            m.swr.reset(s);
            const int init = r < 0 ? r : swr_init(s);
            if (init < 0) return avError(m.d.path, "Cannot convert the sound of", init);
        }
        const std::int64_t ts =
            f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
        // The resampler's buffered input comes out first, so this block starts that much earlier.
        const std::int64_t delay = swr_get_delay(m.swr.get(), outRate);
        const int room = int(swr_get_out_samples(m.swr.get(), f->nb_samples));
        Block b;
        b.samples.resize(std::size_t(std::max(room, 0)) * 2);
        uint8_t* out[1] = {reinterpret_cast<uint8_t*>(b.samples.data())};
        const int n =
            swr_convert(m.swr.get(), out, room, const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
        av_frame_unref(f);
        if (n < 0) return avError(m.d.path, "Cannot convert the sound of", n);
        if (n == 0) continue;
        b.samples.resize(std::size_t(n) * 2);
        const MediaTime framePts = ts == AV_NOPTS_VALUE ? m.nextPts : toTime(ts, m.d.st()->time_base);
        b.pts = framePts - MediaTime{delay, outRate};
        m.nextPts = b.pts + MediaTime{n, outRate};
        return std::optional<Block>(std::move(b));
    }
}

} // namespace

Result<std::unique_ptr<VideoDecoder>> FfmpegMediaReader::openVideo(const std::string& path) const {
    auto d = StreamDecoder::open(path, AVMEDIA_TYPE_VIDEO, Fragments::fromIndex);
    if (!d) return d.error();
    return std::unique_ptr<VideoDecoder>(std::make_unique<FfVideoDecoder>(std::move(*d)));
}

Result<std::unique_ptr<AudioDecoder>> FfmpegMediaReader::openAudio(const std::string& path) const {
    auto d = StreamDecoder::open(path, AVMEDIA_TYPE_AUDIO, Fragments::fromIndex);
    if (!d) return d.error();
    return std::unique_ptr<AudioDecoder>(std::make_unique<FfAudioDecoder>(std::move(*d)));
}

std::shared_ptr<const MediaReader> ffmpegMediaReader() {
    return std::make_shared<FfmpegMediaReader>();
}

} // namespace lc
