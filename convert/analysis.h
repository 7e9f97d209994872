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
    double hz = 0.0;       // the highest frequency with content
    double drop_db = 0.0;  // level just below it minus level just above it
    bool cliff = false;    // a steep end well below half the rate
    double holes_pct = 0.0;  // spectral holes above kHoleBandHz (see SpectrumMeter)
    bool holes = false;      // more of them than natural sound has
};

// The long-term spectrum of a file: the mean power of each bin over columns.
//
// Cutoff rule: the reference is the median long-term level (dB) of the bins
// between 2 and 10 kHz (up to half the rate); the cutoff is the highest bin
// whose long-term level is within 40 dB of it, at k * rate / 2048 Hz. A mean
// of power rather than a percentile, so that content present in only a few
// loud columns still counts as content.
//
// Cliff rule: an encoder's low-pass leaves nothing above its corner but the
// quantisation floor, while natural sound loses a few dB per kHz. The drop is
// the median level of the 1.5 kHz below the cutoff minus the median level of
// up to 1.5 kHz above it (bins next to the cutoff left out). A cliff is a
// drop of at least kCliffDropDb with the cutoff below kCliffBelowNyquist of
// half the rate and at least kCliffRoomHz of spectrum above it to judge.
//
// Hole rule: an encoder that keeps the top octave still codes it coarsely,
// zeroing parts of it frame by frame, while in natural sound a bin of a band
// that is there falls far below its usual level only by chance. A hole is a
// column's bin above kHoleBandHz more than kHoleDepthDb below that bin's
// median over the columns, counted only in bins whose median is within 40 dB
// of the reference and in columns whose band power is within kHoleColumnDb
// of its median (a quiet passage or a missing cymbal is no hole). Holes in
// more than kHolesPct of those cells mark a transcode. Needs the band kept
// (keep_high_band): a lossy file is never judged, so only lossless ones pay.
class SpectrumMeter {
public:
    static constexpr double kCliffDropDb = 25.0;
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

    std::uint32_t rate_hz_;
    std::vector<double> power_sum_;
    std::uint64_t columns_ = 0;
    long band_first_ = kBins;         // first bin of the hole band
    bool keep_band_ = false;
    std::vector<float> band_power_;   // per column, bins band_first_..kBins-1
    std::vector<double> band_mean_;   // per column, mean power of those bins
};

// Codecs whose files hold exactly what was recorded (FFmpeg codec names:
// flac, pcm_*, alac, ape, wavpack, and a few other lossless ones).
bool is_lossless_codec(std::string_view codec);

// "suspected" / "no" for a lossless codec, nothing for the others (a lossy
// file's low-pass says nothing about where it came from) or without a cutoff.
std::optional<std::string_view> lossy_origin(std::string_view codec, const std::optional<Cutoff>& cutoff);

// Upsampling rule: a lossless file at 48 kHz or above whose content ends at
// a cliff within kUpsampledWallBelow of half a lower common rate (44100,
// 48000, 88200, 96000; a resampler's low-pass ends just below it) was made
// at that rate; the highest such rate, nothing otherwise.
constexpr double kUpsampledWallBelow = 0.9;
constexpr double kUpsampledWallAbove = 1.01;
std::optional<std::uint32_t> upsampled_from_hz(std::string_view codec, std::uint32_t rate_hz,
                                               const std::optional<Cutoff>& cutoff);

}  // namespace tolvek::convert::analysis
