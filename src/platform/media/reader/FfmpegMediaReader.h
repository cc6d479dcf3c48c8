#pragma once
// The FFmpeg reader of recorded clips and microphone files (the composition root hands it to
// the export).
#include "platform/MediaReader.h"

#include <memory>

namespace lc {

class FfmpegMediaReader final : public MediaReader {
public:
    // Track ranges come from the container's index (the moov, or the fragments of a file that
    // was never finished) and the packets of the first and last key-frame stretch only.
    Result<MediaInfo> probe(const std::string& path) const override;
    Result<std::unique_ptr<VideoDecoder>> openVideo(const std::string& path) const override;
    Result<std::unique_ptr<AudioDecoder>> openAudio(const std::string& path) const override;

    // The same ranges measured by reading every packet of the file (slow; the reference the
    // fast probe is checked against).
    static Result<MediaInfo> scanAllPackets(const std::string& path);
};

std::shared_ptr<const MediaReader> ffmpegMediaReader();

} // namespace lc
