// Which frequency each of the 1024 rows shows: the bins one to one (linear)
// or a logarithmic sweep from the first bin to half the rate (log).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "audio/audio.h"
#include "convert/grid.h"

namespace tolvek::convert {

enum class Scale { Linear, Log };

// "linear" or "log"; empty for anything else.
std::optional<Scale> parse_scale(std::string_view text);

inline constexpr int kRows = audio::kSpectrumBins;

// The frequency row r shows, 0 at the bottom: bin r (linear), or
// f0 × (fN / f0)^(r / 1023) with f0 = rate / 2048 and fN = rate / 2 (log).
double row_frequency(Scale scale, double rate, double row);
// The (fractional) row that shows `hz`; the inverse of row_frequency.
double frequency_row(Scale scale, double rate, double hz);

// The log scale's rows, worked out once per conversion. A row's band runs
// between the geometric midpoints to its neighbours; it shows the strongest
// bin whose centre lies in the band or, where none does (the low rows), the
// magnitude interpolated between the two bins around its frequency.
class RowMap {
public:
    RowMap();
    // Fills `rows` from a column's bin magnitudes.
    void apply(std::span<const float, kRows> bins, std::span<float, kRows> rows) const;

private:
    struct Source {
        std::int16_t first = 0;  // first bin of the band, or the bin below the frequency
        std::int16_t count = 0;  // bins in the band; 0: interpolate first..first+1
        float above = 0.0f;      // weight of bin first+1 when interpolating
    };
    std::array<Source, kRows> sources_{};
};

// A frequency mark: solid at 100 Hz, 1 kHz and 10 kHz, light elsewhere.
struct FrequencyMark {
    int row = 0;
    double hz = 0.0;
    bool solid = false;
};
// The log scale's marks below half the rate: solid at 100 Hz, 1 kHz and
// 10 kHz; light at the other multiples of 100 Hz below 1 kHz and of 1 kHz
// above it, kept only where both neighbouring marks are at least
// `min_rows` rows away.
std::vector<FrequencyMark> log_marks(double rate, int min_rows);
inline constexpr int kMinRowsBetweenMarks = 8;

// The grid rows of the log scale.
std::array<RowMark, kRows> log_grid_rows(double rate);

}  // namespace tolvek::convert
