// EBU R128 loudness of a whole stream through libebur128: integrated
// loudness, loudness range and true peak, fed every frame once, in order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio/audio.h"

namespace tolvek::convert {

struct Loudness {
    std::optional<double> integrated_lufs;  // nothing for silence (every block gated out)
    std::optional<double> range_lu;
    std::optional<double> true_peak_dbtp;   // nothing for digital silence
};

class LoudnessMeter final : public audio::FrameSink {
public:
    // `channel_names` as audio::Stream::channel_name gives them ("FL",
    // "LFE"): they place each channel (the LFE counts for nothing).
    LoudnessMeter(std::uint32_t rate_hz, std::span<const std::string> channel_names);
    ~LoudnessMeter() override;
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    void frames(std::span<const float> interleaved) override;
    void restart() override;
    Loudness result() const;

private:
    struct State;  // libebur128's state, owned
    struct StateFree {
        void operator()(State* s) const;
    };
    std::unique_ptr<State, StateFree> state_;
    std::uint32_t rate_hz_;
    std::vector<std::string> names_;
};

}  // namespace tolvek::convert
