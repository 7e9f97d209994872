// What the decoded samples tell in their own format, before they are made
// 16-bit for the windows: the bits they use, and, for a stream followed
// whole, its FLAC MD5 and its frames for a loudness meter.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "audio/audio.h"
#include "audio/libav.h"

extern "C" {
#include <libavutil/md5.h>
}

namespace tolvek::audio {

struct Md5Free {
    void operator()(AVMD5* m) const { av_free(m); }
};

using Md5Digest = std::array<std::uint8_t, 16>;

class SampleTap {
public:
    // The stream's stored width and its MD5, from its parameters.
    void setup(const AVCodecParameters& par, const AVCodecContext& dec);
    // Every decoded frame passes here; `first` is its first frame's index in
    // a full decode.
    void take(const AVFrame& f, std::int64_t first);
    void follow(FrameSink* sink);
    // Frames come again from frame 0 (a decode of the whole stream).
    void restart();
    // A frame the followers needed was not decoded: they must start again.
    bool broken() const { return broken_; }

    // The bits read so far, the stored width as the container says, else
    // as `dec` says now (some decoders say so only once they decoded).
    SampleBits bits(const AVCodecContext* dec) const;
    bool following() const { return following_; }
    // Every frame up to `end` went to the followers once, in order.
    bool complete(std::int64_t end) const { return following_ && !broken_ && next_ >= end; }
    // Nothing without an MD5 in the stream or without following it.
    std::optional<bool> md5_matches() const;

private:
    void follow_frame(const AVFrame& f, int from);

    SampleBits bits_;         // stored: the container's word or the codec's fixed width; 0 where neither says
    std::uint32_t raw_or_ = 0;  // OR of every integer sample as decoded, the format's own width
    int container_bits_ = 0;  // of the decoded format, once a frame came
    bool following_ = false;
    FrameSink* sink_ = nullptr;
    std::int64_t next_ = 0;    // the frame the followers need next
    bool broken_ = false;      // a frame they needed was not decoded
    std::optional<Md5Digest> expected_md5_;
    std::unique_ptr<AVMD5, Md5Free> md5_;
    std::vector<float> floats_;
    std::vector<std::uint8_t> bytes_;
};

}  // namespace tolvek::audio
