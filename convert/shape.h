// The picture's shape as the user chooses it: its columns and rows, the
// transform behind them, and the stretch of time and band of frequencies
// drawn. Parsed here so that the settings file, the command line and the C
// interface read them alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "audio/audio.h"

namespace tolvek::convert {

inline constexpr int kMinWidth = 16;
inline constexpr int kMaxWidth = 20000;
inline constexpr int kMinHeight = 64;
inline constexpr int kMaxHeight = 8192;
// A picture larger than this in all would take gigabytes to paint and save.
inline constexpr std::int64_t kMaxPicturePixels = 64'000'000;
// The most rows a JPEG picture can hold.
inline constexpr int kMaxJpegRows = 65500;
// Frequencies past this are no recording's.
inline constexpr double kMaxFrequencyHz = 1e6;
// Times past this (about 31 years) are no recording's.
inline constexpr double kMaxTimeSeconds = 1e9;

// "auto" (any case) gives 0, the columns following the length; else a whole
// number of columns from kMinWidth to kMaxWidth.
std::optional<int> parse_width(std::string_view text);
// A power of two from audio::kMinSpectrumFrames to audio::kMaxSpectrumFrames.
std::optional<int> parse_fft(std::string_view text);
// hann, hamming, blackman-harris, kaiser or rectangular (lower case).
std::optional<audio::Window> parse_window(std::string_view text);

// A stretch of the recording: from `start_s` (the start when left out) to
// `end_s` (the end when left out).
struct TimeSpan {
    std::optional<double> start_s, end_s;
    bool whole() const { return !start_s && !end_s; }
    friend bool operator==(const TimeSpan&, const TimeSpan&) = default;
};
// "START..END", each side seconds ("90", "12.5") or [h:]m:ss ("1:30",
// "1:02:03.5") or empty; an empty or inverted range is refused.
std::optional<TimeSpan> parse_time_span(std::string_view text);

// A band of frequencies in Hz, either bound left out for the spectrum's own.
struct FrequencySpan {
    std::optional<double> low_hz, high_hz;
    bool whole() const { return !low_hz && !high_hz; }
    friend bool operator==(const FrequencySpan&, const FrequencySpan&) = default;
};
// "LOW..HIGH" (or "LOW:HIGH"), each in Hz, with a "k" suffix in kHz
// ("1k..8k", "0:4k"), or empty; an empty or inverted band is refused.
std::optional<FrequencySpan> parse_frequency_span(std::string_view text);

// The bytes of decoded audio a picture draws: all of them, or those of a
// time range; none when the recording ends before the range starts.
struct Stretch {
    std::uint64_t begin = 0, end = 0;  // byte positions
    double start_s = 0.0;              // where it begins in the recording
    float seconds = 0.0f;              // its length
};
// `length` bytes of `seconds` at `frame_bytes` bytes a frame and `rate`.
std::optional<Stretch> drawn_stretch(const TimeSpan& span, std::uint64_t length, float seconds,
                                     std::uint32_t frame_bytes, std::uint32_t rate);
// The columns of a stretch: `width` of them, or as many as its length
// calls for (plan_columns) with width 0.
struct ColumnPlan;
ColumnPlan plan_stretch(const Stretch& stretch, int width, bool whole_file);

// Why pictures of `width` columns (0: auto, at most 1000) and `panes`
// panes of `height` rows, `framed` or not, cannot be made; nothing when they can.
std::optional<std::string> picture_size_refusal(int width, int height, int panes, bool framed, bool jpeg);

}  // namespace tolvek::convert
