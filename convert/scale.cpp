#include "convert/scale.h"

#include <algorithm>
#include <cmath>

namespace tolvek::convert {
namespace {

// Rows run over 1023 steps from bin 1 to bin 1024 (half the rate), so in
// bins the log scale does not depend on the rate.
constexpr double kTopRow = kRows - 1;
constexpr double kBinsSpanned = audio::kWindowFrames / 2;  // fN / f0

double log_row_bin(double row) { return std::pow(kBinsSpanned, row / kTopRow); }

}  // namespace

std::optional<Scale> parse_scale(std::string_view text) {
    if (text == "linear") return Scale::Linear;
    if (text == "log") return Scale::Log;
    return std::nullopt;
}

double row_frequency(Scale scale, double rate, double row) {
    const double bin_hz = rate / audio::kWindowFrames;
    return bin_hz * (scale == Scale::Linear ? row : log_row_bin(row));
}

double frequency_row(Scale scale, double rate, double hz) {
    const double bins = hz * audio::kWindowFrames / rate;
    return scale == Scale::Linear ? bins : kTopRow * std::log(bins) / std::log(kBinsSpanned);
}

RowMap::RowMap() {
    for (int r = 0; r < kRows; ++r) {
        const double centre = log_row_bin(r);
        const double low = std::sqrt(centre * log_row_bin(r - 1.0));
        const double high = std::sqrt(centre * log_row_bin(r + 1.0));
        // Bins with centres in [low, high), within the spectrum.
        const int first = static_cast<int>(std::ceil(low));
        const int end = std::min(static_cast<int>(std::ceil(high)), kRows);
        Source& s = sources_[static_cast<std::size_t>(r)];
        if (end > first) {
            s.first = static_cast<std::int16_t>(first);
            s.count = static_cast<std::int16_t>(end - first);
        } else {
            const int below = std::min(static_cast<int>(std::floor(centre)), kRows - 2);
            s.first = static_cast<std::int16_t>(below);
            s.above = static_cast<float>(centre - below);
        }
    }
}

void RowMap::apply(std::span<const float, kRows> bins, std::span<float, kRows> rows) const {
    for (int r = 0; r < kRows; ++r) {
        const Source& s = sources_[static_cast<std::size_t>(r)];
        const float* b = &bins[static_cast<std::size_t>(s.first)];
        rows[static_cast<std::size_t>(r)] =
            s.count > 0 ? *std::max_element(b, b + s.count) : b[0] + s.above * (b[1] - b[0]);
    }
}

std::vector<FrequencyMark> log_marks(double rate, int min_rows) {
    std::vector<FrequencyMark> all;
    const auto add = [&](double hz) {
        const double row = std::round(frequency_row(Scale::Log, rate, hz));
        if (row >= 0.0 && row <= kTopRow) all.push_back({static_cast<int>(row), hz, hz == 100 || hz == 1000 || hz == 10000});
    };
    for (int hz = 100; hz < 1000; hz += 100) add(hz);
    // The kilohertz marks crowd together towards the top. Past 10 kHz, once
    // two are less than min_rows - 1 apart, every later one has a neighbour
    // closer than min_rows (the gaps only shrink) and none is kept: the
    // count follows the rows, not the rate.
    for (double hz = 1000; hz <= rate / 2; hz += 1000) {
        add(hz);
        const double gap = frequency_row(Scale::Log, rate, hz + 1000) - frequency_row(Scale::Log, rate, hz);
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

std::array<RowMark, kRows> log_grid_rows(double rate) {
    std::array<RowMark, kRows> rows{};
    rows.fill(RowMark::None);
    for (const FrequencyMark& m : log_marks(rate, kMinRowsBetweenMarks))
        rows[static_cast<std::size_t>(m.row)] = m.solid ? RowMark::Solid : RowMark::Light;
    return rows;
}

}  // namespace tolvek::convert
