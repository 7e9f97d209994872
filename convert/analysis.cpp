#include "convert/analysis.h"

#include <algorithm>
#include <cmath>

namespace tolvek::convert::analysis {
namespace {

constexpr double kFull16 = 32768.0;
constexpr double kTinyPower = 1e-30;  // keeps log10 finite for empty bins

double power_db(double power) { return 10.0 * std::log10(std::max(power, kTinyPower)); }

double median(std::vector<double> values) {
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

// Median of levels[first..last], clamped to the spectrum; nothing when empty.
std::optional<double> band_median(const std::vector<double>& levels, long first, long last) {
    first = std::max(first, 0L);
    last = std::min(last, static_cast<long>(levels.size()) - 1);
    if (first > last) return std::nullopt;
    return median({levels.begin() + first, levels.begin() + last + 1});
}

}  // namespace

void LevelMeter::add_sample(double value, bool clipped) {
    const double magnitude = std::fabs(value);
    peak_ = std::max(peak_, magnitude);
    clipped_ += clipped ? 1 : 0;
    sum_squares_ += value * value;
    ++count_;
}

void LevelMeter::add(std::span<const std::int16_t> samples) {
    for (std::int16_t s : samples) add_sample(s / kFull16, s >= audio::Levels::kClippedSample || s <= -audio::Levels::kClippedSample);
}

void LevelMeter::add(std::span<const float> samples) {
    for (float s : samples) add_sample(s, std::fabs(s) >= 1.0f);
}

void LevelMeter::add(const audio::Levels& levels) {
    peak_ = std::max(peak_, levels.peak / kFull16);
    clipped_ += levels.clipped;
    sum_squares_ += levels.sum_squares;
    count_ += levels.samples;
}

void LevelMeter::end_column() {
    const double rms = count_ ? std::sqrt(sum_squares_ / static_cast<double>(count_)) : 0.0;
    const bool silent = rms <= 0.0 || 20.0 * std::log10(rms) < kSilenceDbfs;
    silent_columns_ += silent ? 1 : 0;
    ++columns_;
    sum_squares_ = 0.0;
    count_ = 0;
}

std::optional<double> LevelMeter::peak_dbfs() const {
    if (peak_ <= 0.0) return std::nullopt;
    return 20.0 * std::log10(peak_);
}

std::optional<double> LevelMeter::silence_pct() const {
    if (columns_ == 0) return std::nullopt;
    return 100.0 * static_cast<double>(silent_columns_) / static_cast<double>(columns_);
}

SpectrumMeter::SpectrumMeter(std::uint32_t rate_hz, bool keep_high_band)
    : rate_hz_(rate_hz), power_sum_(kBins, 0.0), keep_band_(keep_high_band && rate_hz > 0) {
    if (keep_band_) band_first_ = std::min<long>(kBins, std::lround(kHoleBandHz / (rate_hz / 2048.0)));
}

void SpectrumMeter::add(std::span<const float> magnitudes) {
    const std::size_t n = std::min<std::size_t>(magnitudes.size(), kBins);
    for (std::size_t k = 0; k < n; ++k) power_sum_[k] += static_cast<double>(magnitudes[k]) * magnitudes[k];
    ++columns_;
    const std::size_t at_segment = segment_power_.size();
    segment_power_.resize(at_segment + kBins, 0.0f);
    for (std::size_t k = 0; k < n; ++k) segment_power_[at_segment + k] = magnitudes[k] * magnitudes[k];
    if (segment_power_.size() == static_cast<std::size_t>(kSegmentColumns) * kBins) {
        if (const auto segment = judge_segment()) segments_.push_back(*segment);
        segment_power_.clear();
    }
    if (!keep_band_ || band_first_ >= static_cast<long>(n)) return;
    const std::size_t width = static_cast<std::size_t>(kBins - band_first_), at = band_power_.size();
    band_power_.resize(at + width, 0.0f);
    double sum = 0.0;
    for (std::size_t k = static_cast<std::size_t>(band_first_); k < n; ++k) {
        const float power = magnitudes[k] * magnitudes[k];
        band_power_[at + k - static_cast<std::size_t>(band_first_)] = power;
        sum += power;
    }
    band_mean_.push_back(sum / static_cast<double>(width));
}

std::optional<double> SpectrumMeter::holes_pct(double reference_db) const {
    if (band_mean_.empty()) return std::nullopt;
    const std::size_t width = static_cast<std::size_t>(kBins - band_first_), columns = band_mean_.size();
    const double column_floor = median(band_mean_) * std::pow(10.0, -kHoleColumnDb / 10.0);
    const double content_floor = std::pow(10.0, (reference_db - kContentBelowReferenceDb) / 10.0);
    const double depth = std::pow(10.0, -kHoleDepthDb / 10.0);
    // Each bin's median from at most kMedianColumns columns spread over the
    // file: as good a measure of its usual level, at a fraction of the cost.
    constexpr std::size_t kMedianColumns = 256;
    const std::size_t stride = std::max<std::size_t>(1, columns / kMedianColumns);
    const std::size_t samples = (columns + stride - 1) / stride;
    std::vector<float> by_bin(width * samples);  // read in column order, kept bin by bin
    for (std::size_t c = 0, i = 0; c < columns; c += stride, ++i)
        for (std::size_t k = 0; k < width; ++k) by_bin[k * samples + i] = band_power_[c * width + k];
    std::vector<float> hole_below(width, -1.0f);  // -1: a bin without content is not judged
    for (std::size_t k = 0; k < width; ++k) {
        const auto first = by_bin.begin() + static_cast<std::ptrdiff_t>(k * samples);
        const auto middle = first + static_cast<std::ptrdiff_t>(samples / 2);
        std::nth_element(first, middle, first + static_cast<std::ptrdiff_t>(samples));
        if (*middle >= content_floor) hole_below[k] = static_cast<float>(*middle * depth);
    }
    std::uint64_t cells = 0, holes = 0;
    for (std::size_t c = 0; c < columns; ++c) {
        if (band_mean_[c] < column_floor) continue;
        const float* power = &band_power_[c * width];
        for (std::size_t k = 0; k < width; ++k) {
            cells += hole_below[k] >= 0.0f ? 1 : 0;
            holes += power[k] < hole_below[k] ? 1 : 0;
        }
    }
    if (cells == 0) return std::nullopt;
    return 100.0 * static_cast<double>(holes) / static_cast<double>(cells);
}

std::vector<double> SpectrumMeter::levels_db() const {
    std::vector<double> levels(kBins);
    const double columns = static_cast<double>(std::max<std::uint64_t>(columns_, 1));
    for (int k = 0; k < kBins; ++k) levels[k] = power_db(power_sum_[k] / columns);
    return levels;
}

std::optional<SpectrumMeter::Segment> SpectrumMeter::judge_segment() const {
    const std::size_t columns = segment_power_.size() / kBins;
    if (columns == 0 || rate_hz_ == 0) return std::nullopt;
    std::vector<double> levels(kBins);
    std::vector<float> bin(columns);
    for (std::size_t k = 0; k < kBins; ++k) {
        for (std::size_t c = 0; c < columns; ++c) bin[c] = segment_power_[c * kBins + k];
        std::nth_element(bin.begin(), bin.begin() + static_cast<std::ptrdiff_t>(columns / 2), bin.end());
        levels[k] = power_db(bin[columns / 2]);
    }
    const double hz_per_bin = rate_hz_ / 2048.0;
    const auto at = [&](double hz) { return std::lround(hz / hz_per_bin); };
    const auto reference = band_median(levels, at(kReferenceLowHz), at(kReferenceHighHz));
    if (!reference || *reference < kSilentReferenceDb) return std::nullopt;
    long top = kBins - 1;
    while (top > 0 && levels[top] < *reference - kContentBelowReferenceDb) --top;
    Segment segment{top * hz_per_bin, 0.0, false};
    // The steepest wall anywhere: mean level (dB) of the band below a bin
    // minus that of the band above it, bins next to it left out. A quiet
    // file's floor can lie within 40 dB of its reference, so the wall is
    // looked for on its own, not only at the content's end.
    const long gap = std::max(1L, at(kCliffGapHz)), band = at(kCliffBandHz);
    const long room = std::lround(kCliffRoomHz / hz_per_bin);
    std::vector<double> sums(kBins + 1, 0.0);
    for (int k = 0; k < kBins; ++k) sums[k + 1] = sums[k] + levels[k];
    const auto mean = [&](long first, long last) {
        first = std::max(first, 0L);
        last = std::min(last, static_cast<long>(kBins) - 1);
        return (sums[last + 1] - sums[first]) / static_cast<double>(last - first + 1);
    };
    long wall = -1;
    double steepest = 0.0;
    for (long k = band; k + gap + room <= kBins - 1; ++k)
        if (const double drop = mean(k - band, k - gap) - mean(k + gap, k + band); drop > steepest) steepest = drop, wall = k;
    if (wall < 0) return segment;
    // The wall's edge: the highest bin near it still above the middle of
    // the two sides; there the drop is measured as medians of the bands.
    const double middle = (mean(wall - band, wall - gap) + mean(wall + gap, wall + band)) / 2.0;
    long edge = wall - gap;
    for (long j = wall - gap; j <= std::min<long>(wall + gap, kBins - 1); ++j)
        if (levels[j] >= middle) edge = j;
    const auto below = band_median(levels, edge - band, edge - gap);
    const auto above = band_median(levels, edge + gap, edge + band);
    if (!below || !above) return segment;
    const bool has_room = (kBins - 1 - edge - gap) * hz_per_bin >= kCliffRoomHz;
    if (has_room && *below - *above >= kCliffDropDb) {
        segment = {edge * hz_per_bin, *below - *above, true};
    } else if (const auto b = band_median(levels, top - band, top - gap), a = band_median(levels, top + gap, top + band); b && a) {
        segment.drop_db = *b - *a;
    }
    return segment;
}

namespace {

double median_of(const std::vector<double>& values) { return median(values); }

// The lower common rate whose half `hz` lies just below, for a file at
// `rate_hz` of 48 kHz or more; nothing otherwise.
std::optional<std::uint32_t> resampler_wall(std::uint32_t rate_hz, double hz) {
    static constexpr std::uint32_t kLowerRatesHz[] = {96000, 88200, 48000, 44100};
    if (rate_hz < 48000) return std::nullopt;
    for (const std::uint32_t lower : kLowerRatesHz)
        if (lower < rate_hz && hz >= kUpsampledWallBelow * lower / 2.0 && hz <= kUpsampledWallAbove * lower / 2.0)
            return lower;
    return std::nullopt;
}

}  // namespace

std::optional<Cutoff> SpectrumMeter::vote(std::vector<Segment> segments) const {
    if (segments.empty()) return std::nullopt;
    Cutoff cut;
    std::vector<double> hz, drop;
    for (const Segment& s : segments) {
        hz.push_back(s.hz);
        drop.push_back(s.drop_db);
        cut.steep_segments += s.steep ? 1 : 0;
    }
    cut.segments = static_cast<int>(segments.size());
    cut.hz = median_of(hz);
    cut.drop_db = median_of(drop);
    cut.steep = 2 * cut.steep_segments > cut.segments;
    cut.cliff = cut.steep && cut.hz >= kCliffLowHz && cut.hz < kCliffBelowNyquist * rate_hz_ / 2.0 &&
                cut.hz < kCliffHighHz && !resampler_wall(rate_hz_, cut.hz);
    return cut;
}

std::optional<Cutoff> SpectrumMeter::cutoff() const {
    if (columns_ == 0 || rate_hz_ == 0) return std::nullopt;
    std::vector<Segment> segments = segments_;
    if (!segment_power_.empty())
        if (const auto last = judge_segment()) segments.push_back(*last);
    std::optional<Cutoff> cut = vote(std::move(segments));
    if (!cut) return std::nullopt;
    const std::vector<double> levels = levels_db();
    const double hz_per_bin = rate_hz_ / 2048.0;
    const auto reference = band_median(levels, std::lround(kReferenceLowHz / hz_per_bin), std::lround(kReferenceHighHz / hz_per_bin));
    if (reference)
        if (const auto holes = holes_pct(*reference)) {
            cut->holes_pct = *holes;
            cut->holes = *holes > kHolesPct;
        }
    return cut;
}

bool is_lossless_codec(std::string_view codec) {
    static constexpr std::string_view kLossless[] = {"flac", "alac", "ape", "wavpack", "tta", "tak", "mlp", "truehd"};
    if (codec.starts_with("pcm_")) return true;
    return std::find(std::begin(kLossless), std::end(kLossless), codec) != std::end(kLossless);
}

std::optional<std::string_view> lossy_origin(std::string_view codec, const std::optional<Cutoff>& cutoff) {
    if (!is_lossless_codec(codec) || !cutoff) return std::nullopt;
    return cutoff->cliff || cutoff->holes ? "suspected" : "no";
}

std::optional<std::uint32_t> upsampled_from_hz(std::string_view codec, std::uint32_t rate_hz,
                                               const std::optional<Cutoff>& cutoff) {
    if (!is_lossless_codec(codec) || !cutoff || !cutoff->steep) return std::nullopt;
    return resampler_wall(rate_hz, cutoff->hz);
}

}  // namespace tolvek::convert::analysis
