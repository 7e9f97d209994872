// The arithmetic of a conversion, apart from its input and output so that it
// can be checked on its own.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <functional>
#include <string>

namespace tolvek::convert {

// A column covers about this much audio between the shortest and the
// longest plans: 0.15 in single precision, as the plan has always used, so
// exactly 150 s gives 999 columns.
inline constexpr float kSecondsPerColumn = 0.15f;
inline constexpr int kMinColumns = 250;
inline constexpr int kMaxColumns = 1000;
// Without a duration, columns are this many bytes of decoded audio apart.
inline constexpr std::uint64_t kBytesPerColumnWithoutDuration = 40000;

// The report's name column: the first characters of the name, padded.
inline constexpr int kLabelNameChars = 28;
inline constexpr int kLabelWidth = 33;

// How many columns a picture gets and how many bytes of decoded audio lie
// between two columns.
struct ColumnPlan {
    int count = 250;
    std::uint64_t step = 0;
    std::uint64_t origin = 0;          // byte position of column 0
    std::uint64_t end = UINT64_MAX;    // where the last column's stretch ends (full coverage)
};
ColumnPlan plan_columns(std::uint64_t length, float seconds);

// A magnitude's level: ln(m) from -15 to -5 spans levels 0..255.
std::uint8_t level_of(float magnitude);

// level_of() (or another level function that never falls as the magnitude
// grows) without a logarithm, for the finite non-negative magnitudes of a
// spectrum: a million cells per picture. A float's top 16 bits (sign,
// exponent, 7 mantissa bits) pick a bucket that spans at most two levels of
// the classic mapping; the exact thresholds above it decide. A narrow dB
// range (under about 18 dB) can put more levels in one bucket, hence a loop
// that rarely turns more than once.
class LevelMap {
public:
    LevelMap();
    explicit LevelMap(const std::function<std::uint8_t(float)>& level);
    std::uint8_t operator()(float magnitude) const {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(magnitude);
        std::uint8_t level = base_[bits >> 16];
        while (level != 255 && magnitude >= threshold_[level + 1]) ++level;
        return level;
    }

private:
    std::array<std::uint8_t, 65536> base_;
    std::array<float, 256> threshold_;  // smallest magnitude of each level
};

// Bytes taken by the UTF-8 character at `pos`; 1 for a byte that does not
// start a valid sequence.
std::size_t utf8_char_length(const std::string& s, std::size_t pos);

// The report line's left part: the display name cut to 28 characters and
// padded with blanks to 33. A character is a UTF-8 code point; a byte that
// does not start a valid sequence counts as one.
std::string display_label(const std::string& name);

// The report line's channel text ("Mono", "Stereo", "6 channels") and its
// statistics (", 44.1,   4.12Mb,   192kbps").
std::string channel_text(std::uint32_t channels);
std::string statistics_text(std::uint32_t rate, std::uint64_t size, float seconds);

// A file's average bit rate as the framed title and the report give it, in
// kbps: the codec's or container's declared rate where there is one, else
// its size over its length; whole kbps from half a kbps up, whole bits per
// second below; 0 when neither is known.
double average_bitrate_kbps(std::uint32_t declared_kbps, std::uint64_t size_bytes, double seconds);

}  // namespace tolvek::convert
