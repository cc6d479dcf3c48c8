// Runs one export like "loomcast --export FOLDER" and also writes the exact frames handed to the
// encoder, as raw I420, to RAW_FILE ("-": none), so that export_bench.py can time the encoder
// alone on them. Prints when the first progress was reported (the export's start-up).
// Usage: bench_export_dump FOLDER RAW_FILE
#include "export/ExportEngine.h"
#include "platform/ForwardingMovieWriter.h"
#include "platform/media/reader/FfmpegMediaReader.h"

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

class TapWriter final : public lc::ForwardingMovieWriter {
public:
    TapWriter(std::unique_ptr<lc::MovieWriter> inner, std::FILE* out)
        : ForwardingMovieWriter(std::move(inner)), out_(out) {}
    bool appendVideo(const lc::YuvFramePtr& f, std::int64_t pts) override {
        if (!ForwardingMovieWriter::appendVideo(f, pts)) return false;
        for (int p = 0; p < 3; ++p) {
            const int w = p ? f->width / 2 : f->width, h = p ? f->height / 2 : f->height;
            for (int r = 0; r < h; ++r)
                std::fwrite(f->planes[p] + std::ptrdiff_t(r) * f->strides[p], 1, std::size_t(w), out_);
        }
        return true;
    }

private:
    std::FILE* out_;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FOLDER RAW_FILE\n", argv[0]);
        return 2;
    }
    const bool dump = std::string(argv[2]) != "-";
    std::unique_ptr<std::FILE, FileCloser> raw(dump ? std::fopen(argv[2], "wb") : nullptr);
    if (dump && !raw) {
        std::perror(argv[2]);
        return 1;
    }
    lc::ExportBackends backends;
    backends.reader = lc::ffmpegMediaReader();
    backends.makeWriter =
        [out = raw.get()](
            const std::string& path, lc::MovieFileType type,
            const lc::MovieWriterOptions& options) -> lc::Result<std::unique_ptr<lc::MovieWriter>> {
        auto inner = lc::createMovieWriter(path, type, options);
        if (!inner || !out) return inner;
        return std::unique_ptr<lc::MovieWriter>(std::make_unique<TapWriter>(std::move(*inner), out));
    };
    lc::ExportSession session;
    const auto started = std::chrono::steady_clock::now();
    std::optional<lc::Result<QString>> result;
    std::thread worker(
        [&] { result = lc::ExportEngine::runBlocking(QString::fromLocal8Bit(argv[1]), session, backends); });
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done && session.progress() <= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const std::chrono::duration<double> first = std::chrono::steady_clock::now() - started;
        if (session.progress() > 0) std::printf("first progress after %.3f s\n", first.count());
    });
    worker.join();
    done = true;
    watcher.join();
    if (!*result) {
        std::fprintf(stderr, "export FAILED: %s\n", result->error().message.c_str());
        return 1;
    }
    std::printf("exported %s\n", (*result)->toLocal8Bit().constData());
    return 0;
}
