#include "convert/loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>

namespace tolvek::convert {
namespace {

// Where a channel of the stream's layout counts in the measure.
int channel_place(const std::string& name, std::size_t count) {
    if (count == 1) return EBUR128_CENTER;  // mono: one channel, weight one
    if (name == "FL") return EBUR128_LEFT;
    if (name == "FR") return EBUR128_RIGHT;
    if (name == "FC") return EBUR128_CENTER;
    if (name == "LFE" || name == "LFE2") return EBUR128_UNUSED;
    if (name == "BL" || name == "SL") return EBUR128_LEFT_SURROUND;
    if (name == "BR" || name == "SR") return EBUR128_RIGHT_SURROUND;
    return EBUR128_CENTER;  // any other named or unnamed channel counts with weight one
}

constexpr int kModes = EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK;

}  // namespace

struct LoudnessMeter::State {
    ebur128_state* meter = nullptr;
};

void LoudnessMeter::StateFree::operator()(State* s) const {
    if (s->meter) ebur128_destroy(&s->meter);
    delete s;
}

LoudnessMeter::LoudnessMeter(std::uint32_t rate_hz, std::span<const std::string> channel_names)
    : rate_hz_(rate_hz), names_(channel_names.begin(), channel_names.end()) {
    restart();
}

LoudnessMeter::~LoudnessMeter() = default;

void LoudnessMeter::restart() {
    state_.reset();
    if (names_.empty() || rate_hz_ == 0) return;
    ebur128_state* meter = ebur128_init(static_cast<unsigned>(names_.size()), rate_hz_, kModes);
    if (!meter) return;
    state_.reset(new State{meter});
    for (std::size_t c = 0; c < names_.size(); ++c)
        ebur128_set_channel(meter, static_cast<unsigned>(c), channel_place(names_[c], names_.size()));
}

void LoudnessMeter::frames(std::span<const float> interleaved) {
    if (!state_ || interleaved.empty()) return;
    if (interleaved.size() % names_.size() != 0 ||
        ebur128_add_frames_float(state_->meter, interleaved.data(), interleaved.size() / names_.size()) != EBUR128_SUCCESS)
        state_.reset();  // out of memory: no measure rather than a wrong one
}

Loudness LoudnessMeter::result() const {
    Loudness out;
    if (!state_) return out;
    double value = 0.0;
    if (ebur128_loudness_global(state_->meter, &value) == EBUR128_SUCCESS && std::isfinite(value))
        out.integrated_lufs = value;
    if (ebur128_loudness_range(state_->meter, &value) == EBUR128_SUCCESS && std::isfinite(value) && out.integrated_lufs)
        out.range_lu = value;
    double peak = 0.0;
    for (std::size_t c = 0; c < names_.size(); ++c)
        if (ebur128_true_peak(state_->meter, static_cast<unsigned>(c), &value) == EBUR128_SUCCESS) peak = std::max(peak, value);
    if (peak > 0.0) out.true_peak_dbtp = 20.0 * std::log10(peak);
    return out;
}

}  // namespace tolvek::convert
