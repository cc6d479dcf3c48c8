#include "MediaProbe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <cstdio>
#include <cstring>
#include <memory>

namespace lc::test {
namespace {

struct InputDeleter {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputDeleter>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;

std::map<std::string, std::string> tagsOf(const AVDictionary* d) {
    std::map<std::string, std::string> out;
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(d, "", e, AV_DICT_IGNORE_SUFFIX)))
        out[e->key] = e->value;
    return out;
}

InputPtr open(const std::string& path, std::string& error) {
    AVFormatContext* raw = nullptr;
    if (int err = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); err < 0) {
        char buf[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(err, buf, sizeof buf);
        error = buf;
        return nullptr;
    }
    InputPtr in(raw);
    if (avformat_find_stream_info(in.get(), nullptr) < 0) error = "no stream info";
    return in;
}

CodecPtr openDecoder(const AVStream* st) {
    const AVCodec* dec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!dec) return nullptr;
    CodecPtr c(avcodec_alloc_context3(dec));
    avcodec_parameters_to_context(c.get(), st->codecpar);
    c->pkt_timebase = st->time_base;
    if (avcodec_open2(c.get(), dec, nullptr) < 0) return nullptr;
    return c;
}

} // namespace

int ProbedFile::count(const std::string& type) const {
    int n = 0;
    for (auto& s : streams)
        n += s.type == type;
    return n;
}

const ProbedStream* ProbedFile::first(const std::string& type) const {
    for (auto& s : streams)
        if (s.type == type) return &s;
    return nullptr;
}

ProbedFile probeFile(const std::string& path, bool decode) {
    ProbedFile f;
    InputPtr in = open(path, f.error);
    if (!in) return f;
    f.opened = true;
    f.tags = tagsOf(in->metadata);
    f.duration = in->duration > 0 ? double(in->duration) / AV_TIME_BASE : 0;
    std::vector<CodecPtr> decoders(in->nb_streams);
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        const AVStream* st = in->streams[i];
        const AVCodecParameters* p = st->codecpar;
        ProbedStream s;
        s.type = av_get_media_type_string(p->codec_type) ? av_get_media_type_string(p->codec_type) : "?";
        s.codec = avcodec_get_name(p->codec_id);
        char tag[5] = {};
        for (int k = 0; k < 4; ++k)
            tag[k] = char((p->codec_tag >> (8 * k)) & 0xff);
        s.tag = tag;
        s.width = p->width;
        s.height = p->height;
        s.sampleRate = p->sample_rate;
        s.channels = p->ch_layout.nb_channels;
        s.colorSpace = av_color_space_name(p->color_space) ? av_color_space_name(p->color_space) : "";
        s.colorRange = av_color_range_name(p->color_range) ? av_color_range_name(p->color_range) : "";
        s.tags = tagsOf(st->metadata);
        s.timeBaseDen = st->time_base.den;
        s.avgRateNum = st->avg_frame_rate.num;
        s.avgRateDen = st->avg_frame_rate.den;
        s.baseRateNum = st->r_frame_rate.num;
        s.baseRateDen = st->r_frame_rate.den;
        f.streams.push_back(s);
        if (decode && (p->codec_type == AVMEDIA_TYPE_VIDEO || p->codec_type == AVMEDIA_TYPE_AUDIO))
            decoders[i] = openDecoder(st);
    }
    std::unique_ptr<AVPacket, PacketDeleter> pkt(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    auto receive = [&](unsigned i) {
        while (avcodec_receive_frame(decoders[i].get(), frame.get()) >= 0) {
            f.streams[i].decodedFrames++;
            if (frame->decode_error_flags) f.streams[i].decodeErrors++;
        }
    };
    while (av_read_frame(in.get(), pkt.get()) >= 0) {
        const auto i = unsigned(pkt->stream_index);
        f.streams[i].pts.push_back(pkt->pts);
        f.streams[i].durations.push_back(pkt->duration);
        if (f.streams[i].type == "data") f.streams[i].data.emplace_back(pkt->data, pkt->data + pkt->size);
        if (decoders[i]) {
            if (avcodec_send_packet(decoders[i].get(), pkt.get()) < 0) f.streams[i].decodeErrors++;
            receive(i);
        }
        av_packet_unref(pkt.get());
    }
    for (unsigned i = 0; i < decoders.size(); ++i)
        if (decoders[i]) {
            avcodec_send_packet(decoders[i].get(), nullptr);
            receive(i);
        }
    return f;
}

std::vector<float> decodeAudioTrack(const std::string& path, int n) {
    std::string error;
    InputPtr in = open(path, error);
    std::vector<float> out;
    if (!in) return out;
    int index = -1;
    for (unsigned i = 0, seen = 0; i < in->nb_streams; ++i)
        if (in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && int(seen++) == n) index = int(i);
    if (index < 0) return out;
    const AVStream* st = in->streams[index];
    CodecPtr dec = openDecoder(st);
    if (!dec) return out;
    std::unique_ptr<AVPacket, PacketDeleter> pkt(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    auto place = [&] {
        while (avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
            const std::int64_t ts = frame->best_effort_timestamp;
            const std::int64_t start = av_rescale_q(ts, st->time_base, AVRational{1, 48000});
            for (int k = 0; k < frame->nb_samples; ++k) {
                const std::int64_t pos = start + k;
                if (pos < 0) continue;
                if (std::size_t(pos) >= out.size()) out.resize(std::size_t(pos) + 1, 0.0f);
                out[std::size_t(pos)] = reinterpret_cast<const float*>(frame->extended_data[0])[k];
            }
        }
    };
    while (av_read_frame(in.get(), pkt.get()) >= 0) {
        if (pkt->stream_index == index) {
            avcodec_send_packet(dec.get(), pkt.get());
            place();
        }
        av_packet_unref(pkt.get());
    }
    avcodec_send_packet(dec.get(), nullptr);
    place();
    return out;
}

long topLevelBox(const std::string& path, const char* type) {
    std::unique_ptr<FILE, int (*)(FILE*)> fp(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!fp) return -1;
    long pos = 0;
    for (;;) {
        unsigned char h[16];
        if (std::fseek(fp.get(), pos, SEEK_SET) != 0 || std::fread(h, 1, 8, fp.get()) != 8) return -1;
        std::uint64_t size = (std::uint64_t(h[0]) << 24) | (h[1] << 16) | (h[2] << 8) | h[3];
        if (std::memcmp(h + 4, type, 4) == 0) return pos;
        if (size == 1) {
            if (std::fread(h + 8, 1, 8, fp.get()) != 8) return -1;
            size = 0;
            for (int k = 8; k < 16; ++k)
                size = (size << 8) | h[k];
        }
        if (size < 8) return -1;
        pos += long(size);
    }
}

} // namespace lc::test
