// How a magnitude becomes one of the 256 palette levels: the classic mapping
// (natural-log magnitudes -15..-5) or a range in dBFS chosen by the user.
#pragma once

#include <optional>
#include <string_view>

#include "convert/plan.h"

namespace tolvek::convert {

// 0 dBFS: the magnitude a full-scale sine at a bin centre has in a spectrum
// (|X_k| × 2 / 2048 under a periodic Hann window, whose coherent gain is 1/2).
inline constexpr double kFullScaleMagnitude = 0.5;

// The levels' mapping. Classic: ln(magnitude) -15..-5 onto 0..255, the
// picture as it has always been. Otherwise levels 0..255 run linearly in dB
// from low_dbfs to high_dbfs; quieter is 0, louder is 255.
struct Range {
    bool classic = true;
    float low_dbfs = 0.0f;
    float high_dbfs = 0.0f;
    static Range dbfs(float low, float high) { return {false, low, high}; }
    friend bool operator==(const Range&, const Range&) = default;
};

// The ranges a user can mean: LOW at least -300 dBFS (far below any
// recording's noise), HIGH at most +50 dBFS (far above full scale), and at
// least 1 dB between them.
inline constexpr double kRangeLowestDbfs = -300.0;
inline constexpr double kRangeHighestDbfs = 50.0;
inline constexpr double kRangeLeastSpanDb = 1.0;

// "classic" in any case, or "LOW:HIGH" in dBFS within the bounds above
// (e.g. "-120:0"). Empty for anything else; the caller reports it.
std::optional<Range> parse_range(std::string_view text);

// dBFS of a magnitude; -inf for silence.
double dbfs_of(double magnitude);

// A magnitude's level in `range`, with a logarithm (LevelMap tabulates it).
std::uint8_t level_in_range(float magnitude, const Range& range);

// The dBFS span the levels cover, level 0 to level 255: the range itself, or
// the classic mapping's ln -15..-5 converted (about -124.3..-37.4 dBFS).
// Both are linear in dB.
Range level_span(const Range& range);

// The level table of a conversion.
LevelMap level_map(const Range& range);

}  // namespace tolvek::convert
