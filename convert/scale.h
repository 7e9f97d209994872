// Which frequency each row shows: by default 1024 rows, the bins one to one
// (linear) or a logarithmic sweep from rate/2048 to half the rate (log); a
// pane of another height or frequency range follows the same rules.
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

// The rows of one pane and the frequencies they show. Linear: row r shows
// low + r × (high - low) / rows, so `high` lies one row above the top.
// Log: low × (high / low)^(r / (rows - 1)), the top row showing `high`.
struct FrequencyAxis {
    Scale scale = Scale::Linear;
    double rate = 0.0;
    int rows = kRows;
    double low_hz = 0.0;
    double high_hz = 0.0;
    // The axis of `rows` rows over low..high of a file at `rate`; either
    // bound may be left out: linear from 0 Hz, log from rate/2048, both up
    // to half the rate. A log axis starts at rate/2048 at the lowest.
    static FrequencyAxis make(Scale scale, double rate, int rows = kRows, std::optional<double> low_hz = {},
                              std::optional<double> high_hz = {});
    // The (fractional) bin of a 2048-frame transform that row r shows.
    double row_bin(double row) const;
};

// The frequency row r shows, 0 at the bottom, and the (fractional) row that
// shows `hz`, its inverse. The first two are the default 1024-row axes: bin
// r (linear), or f0 × (fN / f0)^(r / 1023) with f0 = rate / 2048 and
// fN = rate / 2 (log).
double row_frequency(Scale scale, double rate, double row);
double frequency_row(Scale scale, double rate, double hz);
double row_frequency(const FrequencyAxis& axis, double row);
double frequency_row(const FrequencyAxis& axis, double hz);

// True when the axis shows a transform of `fft` frames bin for bin: the
// rows need no map.
bool rows_are_bins(const FrequencyAxis& axis, int fft);

// A pane's rows from a column's bins, worked out once per conversion. A
// row's band runs between the midpoints to its neighbours (geometric on the
// log scale); it shows the strongest bin whose centre lies in the band or,
// where none does, the magnitude interpolated between the two bins around
// its frequency; a row above the spectrum's last bin is silence.
class RowMap {
public:
    RowMap();  // the default log axis
    RowMap(const FrequencyAxis& axis, int fft);
    int rows() const { return static_cast<int>(sources_.size()); }
    // Fills `rows` (rows() values) from a column's bin magnitudes (fft / 2).
    void apply(std::span<const float> bins, std::span<float> rows) const;

private:
    struct Source {
        std::int32_t first = 0;  // first bin of the band, or the bin below the frequency
        std::int32_t count = 0;  // bins in the band; 0: interpolate first..first+1; -1: silence
        float above = 0.0f;      // weight of bin first+1 when interpolating
    };
    std::vector<Source> sources_;
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
std::vector<FrequencyMark> log_marks(const FrequencyAxis& axis, int min_rows);
inline constexpr int kMinRowsBetweenMarks = 8;

// The grid rows of the log scale.
std::vector<RowMark> log_grid_rows(double rate);
// The grid rows of any axis: log_grid_rows on the log scale; on the linear
// scale solid at the multiples of 5 kHz and light at the other kHz.
std::vector<RowMark> grid_rows(const FrequencyAxis& axis);

}  // namespace tolvek::convert
