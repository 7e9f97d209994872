#include "convert/scale.h"

#include <algorithm>
#include <cmath>

namespace tolvek::convert {
namespace {

// Axes work in bins of a 2048-frame transform, so that the default axes do
// not depend on the rate: rows over 1023 steps from bin 1 to bin 1024 (log).
constexpr double kAxisFrames = audio::kWindowFrames;

double to_bins(double hz, double rate) { return hz * kAxisFrames / rate; }

}  // namespace

std::optional<Scale> parse_scale(std::string_view text) {
    if (text == "linear") return Scale::Linear;
    if (text == "log") return Scale::Log;
    return std::nullopt;
}

FrequencyAxis FrequencyAxis::make(Scale scale, double rate, int rows, std::optional<double> low_hz,
                                  std::optional<double> high_hz) {
    const double lowest = scale == Scale::Log ? rate / kAxisFrames : 0.0;
    return {scale, rate, rows, std::max(low_hz.value_or(lowest), lowest), high_hz.value_or(rate / 2)};
}

double FrequencyAxis::row_bin(double row) const {
    const double low = to_bins(low_hz, rate), high = to_bins(high_hz, rate);
    if (scale == Scale::Linear) return low + row * (high - low) / rows;
    return low * std::pow(high / low, row / (rows - 1));
}

double row_frequency(const FrequencyAxis& axis, double row) { return axis.rate / kAxisFrames * axis.row_bin(row); }

double frequency_row(const FrequencyAxis& axis, double hz) {
    const double bins = to_bins(hz, axis.rate);
    const double low = to_bins(axis.low_hz, axis.rate), high = to_bins(axis.high_hz, axis.rate);
    if (axis.scale == Scale::Linear) return (bins - low) * axis.rows / (high - low);
    return (axis.rows - 1) * std::log(bins / low) / std::log(high / low);
}

double row_frequency(Scale scale, double rate, double row) {
    return row_frequency(FrequencyAxis::make(scale, rate), row);
}

double frequency_row(Scale scale, double rate, double hz) {
    return frequency_row(FrequencyAxis::make(scale, rate), hz);
}

bool rows_are_bins(const FrequencyAxis& axis, int fft) {
    return axis.scale == Scale::Linear && axis.rows == fft / 2 && axis.low_hz == 0.0 && axis.high_hz == axis.rate / 2;
}

RowMap::RowMap() : RowMap(FrequencyAxis::make(Scale::Log, kAxisFrames), audio::kWindowFrames) {}

RowMap::RowMap(const FrequencyAxis& axis, int fft) : sources_(static_cast<std::size_t>(axis.rows)) {
    const double per_axis_bin = fft / kAxisFrames;
    const double bins = fft / 2;
    const auto centre_of = [&](double r) { return axis.row_bin(r) * per_axis_bin; };
    const double half_step = axis.scale == Scale::Linear ? centre_of(0.5) - centre_of(0.0) : 0.0;
    for (int r = 0; r < axis.rows; ++r) {
        const double centre = centre_of(r);
        const double low = axis.scale == Scale::Log ? std::sqrt(centre * centre_of(r - 1.0)) : centre - half_step;
        const double high = axis.scale == Scale::Log ? std::sqrt(centre * centre_of(r + 1.0)) : centre + half_step;
        // Bins with centres in [low, high), within the spectrum.
        const int first = static_cast<int>(std::clamp(std::ceil(low), 0.0, bins));
        const int end = static_cast<int>(std::clamp(std::ceil(high), 0.0, bins));
        Source& s = sources_[static_cast<std::size_t>(r)];
        if (end > first) {
            s.first = first;
            s.count = end - first;
        } else if (centre > bins) {
            s.count = -1;
        } else {
            const int below = static_cast<int>(std::min(std::floor(centre), bins - 2));
            s.first = below;
            s.above = static_cast<float>(centre - below);
        }
    }
}

void RowMap::apply(std::span<const float> bins, std::span<float> rows) const {
    for (std::size_t r = 0; r < sources_.size(); ++r) {
        const Source& s = sources_[r];
        if (s.count < 0) {
            rows[r] = 0.0f;
            continue;
        }
        const float* b = &bins[static_cast<std::size_t>(s.first)];
        rows[r] = s.count > 0 ? *std::max_element(b, b + s.count) : b[0] + s.above * (b[1] - b[0]);
    }
}

std::vector<FrequencyMark> log_marks(const FrequencyAxis& axis, int min_rows) {
    std::vector<FrequencyMark> all;
    const double top = axis.rows - 1, rate = axis.rate;
    const auto add = [&](double hz) {
        const double row = std::round(frequency_row(axis, hz));
        if (row >= 0.0 && row <= top) all.push_back({static_cast<int>(row), hz, hz == 100 || hz == 1000 || hz == 10000});
    };
    for (int hz = 100; hz < 1000; hz += 100) add(hz);
    // The kilohertz marks crowd together towards the top. Past 10 kHz, once
    // two are less than min_rows - 1 apart, every later one has a neighbour
    // closer than min_rows (the gaps only shrink) and none is kept: the
    // count follows the rows, not the rate.
    for (double hz = 1000; hz <= rate / 2; hz += 1000) {
        add(hz);
        const double gap = frequency_row(axis, hz + 1000) - frequency_row(axis, hz);
        if (hz > 10000 && gap < min_rows - 1) {
            if (hz + 1000 <= rate / 2) add(hz + 1000);
            break;
        }
    }
    std::vector<FrequencyMark> kept;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const bool near_below = i > 0 && all[i].row - all[i - 1].row < min_rows;
        const bool near_above = i + 1 < all.size() && all[i + 1].row - all[i].row < min_rows;
        if (all[i].solid || (!near_below && !near_above)) kept.push_back(all[i]);
    }
    return kept;
}

std::vector<FrequencyMark> log_marks(double rate, int min_rows) {
    return log_marks(FrequencyAxis::make(Scale::Log, rate), min_rows);
}

namespace {

std::vector<RowMark> marked_rows(const FrequencyAxis& axis, const std::vector<FrequencyMark>& marks) {
    std::vector<RowMark> rows(static_cast<std::size_t>(axis.rows), RowMark::None);
    for (const FrequencyMark& m : marks) rows[static_cast<std::size_t>(m.row)] = m.solid ? RowMark::Solid : RowMark::Light;
    return rows;
}

}  // namespace

std::vector<RowMark> log_grid_rows(double rate) {
    return grid_rows(FrequencyAxis::make(Scale::Log, rate));
}

std::vector<RowMark> grid_rows(const FrequencyAxis& axis) {
    if (axis.scale == Scale::Log) return marked_rows(axis, log_marks(axis, kMinRowsBetweenMarks));
    constexpr double kLightHz = 1000, kSolidHz = 5000;
    std::vector<FrequencyMark> marks;
    const double top = std::min(axis.high_hz, axis.rate / 2);
    for (double hz = std::max(kLightHz, std::ceil(axis.low_hz / kLightHz) * kLightHz); hz < top; hz += kLightHz) {
        const double row = std::round(frequency_row(axis, hz));
        if (row >= 0.0 && row < axis.rows) marks.push_back({static_cast<int>(row), hz, std::fmod(hz, kSolidHz) == 0.0});
    }
    return marked_rows(axis, marks);
}

}  // namespace tolvek::convert
