// Facts about a file's audio measured while it is converted: levels from the
// frames each column analyses, and the highest frequency with content from
// the columns' spectra. Pure arithmetic: no decoding here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "audio/audio.h"

namespace tolvek::convert::analysis {

constexpr double kSilenceDbfs = -60.0;          // a column quieter than this (RMS) is silent
constexpr double kContentBelowReferenceDb = 40.0;
constexpr double kReferenceLowHz = 2000.0;      // the band whose median level is the reference
constexpr double kReferenceHighHz = 10000.0;
constexpr int kBins = 1024;                     // magnitudes per column; bin k is at k * rate / 2048 Hz

// Peak, clipping and silence over the frames the columns analysed.
class LevelMeter {
public:
    // Interleaved frames of the current column; full scale is 32768 (16-bit)
    // or 1.0 (float).
    void add(std::span<const std::int16_t> samples);
    void add(std::span<const float> samples);
    // Level sums of the current column's frames, as a read of them gave.
    void add(const audio::Levels& levels);
    // Closes the current column: its RMS decides whether it is silent.
    void end_column();

    // 20·log10 of the largest absolute sample; nothing for digital silence.
    std::optional<double> peak_dbfs() const;
    // Samples at full scale: |s| >= 32767 (16-bit) or |s| >= 1.0 (float).
    std::uint64_t clipped_samples() const { return clipped_; }
    // Share of closed columns whose RMS is below kSilenceDbfs, in percent.
    std::optional<double> silence_pct() const;

private:
    void add_sample(double value, bool clipped);

    double peak_ = 0.0;
    std::uint64_t clipped_ = 0;
    double sum_squares_ = 0.0;   // of the current column
    std::uint64_t count_ = 0;    // samples of the current column
    std::uint64_t columns_ = 0, silent_columns_ = 0;
};

// What the spectrum says about where content ends.
struct Cutoff {
    double hz = 0.0;       // the highest frequency with content (median over segments)
    double drop_db = 0.0;  // level just below it minus level just above it (median over segments)
    bool steep = false;    // most segments end at a wall (kCliffDropDb), wherever it lies
    bool cliff = false;    // steep, and where a lossy encoder's low-pass puts it
    double holes_pct = 0.0;  // spectral holes above kHoleBandHz (see SpectrumMeter)
    bool holes = false;      // more of them than natural sound has
    int segments = 0;        // segments with a non-silent reference band
    int steep_segments = 0;
};

// Walls of a resampler's low-pass: half of a lower common rate, which a
// file at a higher rate ends just below (kUpsampledWallBelow of it at most).
constexpr double kUpsampledWallBelow = 0.95;
constexpr double kUpsampledWallAbove = 1.01;

class SpectrumMeter {
public:
    static constexpr int kSegmentColumns = 8;
    static constexpr double kSilentReferenceDb = -110.0;  // a reference band below this has no vote
    static constexpr double kCliffDropDb = 25.0;
    static constexpr double kCliffLowHz = 11000.0;
    // Lossy encoders keep at most this at any rate (MP3 320 kbps: 20.2 kHz,
    // Opus: 20 kHz); a wall above it at 48 kHz or more is a resampler's.
    static constexpr double kCliffHighHz = 0.97 * 22050.0;
    static constexpr double kCliffBelowNyquist = 0.97;
    static constexpr double kCliffRoomHz = 400.0;
    static constexpr double kCliffBandHz = 1500.0;
    static constexpr double kCliffGapHz = 100.0;
    static constexpr double kHoleBandHz = 16000.0;
    static constexpr double kHoleDepthDb = 30.0;
    static constexpr double kHoleColumnDb = 10.0;
    static constexpr double kHolesPct = 1.0;

    explicit SpectrumMeter(std::uint32_t rate_hz, bool keep_high_band = false);
    void add(std::span<const float> magnitudes);  // one column, kBins values

    // Nothing without columns or with a silent reference band.
    std::optional<Cutoff> cutoff() const;
    std::uint64_t columns() const { return columns_; }
    // Long-term level of each bin, in dB (power mean over columns).
    std::vector<double> levels_db() const;

private:
    // Share of holes in the kept band, in percent; nothing without cells.
    std::optional<double> holes_pct(double reference_db) const;
    struct Segment {
        double hz = 0.0, drop_db = 0.0;
        bool steep = false;
    };
    // The segment of the columns in segment_power_, nothing with a silent reference.
    std::optional<Segment> judge_segment() const;
    std::optional<Cutoff> vote(std::vector<Segment> segments) const;

    std::uint32_t rate_hz_;
    std::vector<double> power_sum_;
    std::uint64_t columns_ = 0;
    long band_first_ = kBins;         // first bin of the hole band
    bool keep_band_ = false;
    std::vector<float> band_power_;   // per column, bins band_first_..kBins-1
    std::vector<double> band_mean_;   // per column, mean power of those bins
    std::vector<float> segment_power_;  // the open segment's columns, kBins each
    std::vector<Segment> segments_;     // closed segments that vote
};

// Codecs whose files hold exactly what was recorded (FFmpeg codec names:
// flac, pcm_*, alac, ape, wavpack, and a few other lossless ones).
bool is_lossless_codec(std::string_view codec);

// "suspected" / "no" for a lossless codec, nothing for the others (a lossy
// file's low-pass says nothing about where it came from) or without a cutoff.
std::optional<std::string_view> lossy_origin(std::string_view codec, const std::optional<Cutoff>& cutoff);

// Upsampling rule: a lossless file at 48 kHz or above whose content ends
// steeply within kUpsampledWallBelow..Above of half a lower common rate (44100,
// 48000, 88200, 96000; a resampler's low-pass ends just below it) was made
// at that rate; the highest such rate, nothing otherwise.
std::optional<std::uint32_t> upsampled_from_hz(std::string_view codec, std::uint32_t rate_hz,
                                               const std::optional<Cutoff>& cutoff);

}  // namespace tolvek::convert::analysis
