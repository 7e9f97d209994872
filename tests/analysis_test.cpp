#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "convert/analysis.h"
#include "convert/convert.h"
#include "report/record.h"
#include "support/fixtures.h"

namespace tolvek::convert::analysis {
namespace {

constexpr int kRate = 44100;
constexpr int kWindow = 2048;

// Feeds interleaved stereo samples to a meter a column of 2048 frames at a time.
LevelMeter levels_of(const test::Samples& samples) {
    LevelMeter meter;
    for (std::size_t at = 0; at < samples.size(); at += 2 * kWindow) {
        const std::size_t n = std::min<std::size_t>(2 * kWindow, samples.size() - at);
        meter.add(std::span(samples).subspan(at, n));
        meter.end_column();
    }
    return meter;
}

TEST(LevelMeter, PeakClippingAndSilence) {
    test::Samples square(2 * kWindow * 4);
    for (std::size_t i = 0; i < square.size(); ++i) square[i] = (i / 100) % 2 ? 32767 : -32768;
    const LevelMeter clipped = levels_of(square);
    EXPECT_EQ(clipped.clipped_samples(), square.size());
    EXPECT_NEAR(*clipped.peak_dbfs(), 0.0, 0.001);

    const LevelMeter sine = levels_of(test::sine(kRate, 2, 1.0, 997, std::pow(10.0, -6.0 / 20)));
    EXPECT_NEAR(*sine.peak_dbfs(), -6.0, 0.01);
    EXPECT_EQ(sine.clipped_samples(), 0u);
    EXPECT_EQ(*sine.silence_pct(), 0.0);

    test::Samples half = test::sine(kRate, 2, 1.0, 440, 0.5);
    const test::Samples quiet = test::silence(kRate, 2, 1.0);
    half.insert(half.end(), quiet.begin(), quiet.end());
    EXPECT_NEAR(*levels_of(half).silence_pct(), 50.0, 3.0);

    const LevelMeter silent = levels_of(quiet);
    EXPECT_FALSE(silent.peak_dbfs());  // digital silence has no level
    EXPECT_EQ(*silent.silence_pct(), 100.0);
    EXPECT_FALSE(LevelMeter().silence_pct());
}

// A square wave's RMS is its amplitude: columns on both sides of -60 dBFS,
// as floats and as 16-bit samples (the amplitude rounded to a whole step).
TEST(LevelMeter, SilenceIsAColumnBelowMinus60Dbfs) {
    const struct {
        double dbfs;
        bool silent;
    } cases[] = {{-55.0, false}, {-59.5, false}, {-60.5, true}, {-65.0, true}};
    LevelMeter all;
    for (const auto& c : cases) {
        const double amplitude = std::pow(10.0, c.dbfs / 20);
        const auto s16 = static_cast<std::int16_t>(std::lround(amplitude * 32768));
        std::vector<float> floats(2 * kWindow);
        test::Samples shorts(2 * kWindow);
        for (std::size_t i = 0; i < floats.size(); ++i) {
            floats[i] = static_cast<float>((i / 100) % 2 ? amplitude : -amplitude);
            shorts[i] = static_cast<std::int16_t>((i / 100) % 2 ? s16 : -s16);
        }
        LevelMeter as_float, as_s16;
        as_float.add(std::span<const float>(floats));
        as_s16.add(std::span<const std::int16_t>(shorts));
        all.add(std::span<const float>(floats));
        for (LevelMeter* m : {&as_float, &as_s16, &all}) m->end_column();
        EXPECT_EQ(*as_float.silence_pct(), c.silent ? 100.0 : 0.0) << c.dbfs;
        EXPECT_EQ(*as_s16.silence_pct(), c.silent ? 100.0 : 0.0) << c.dbfs << " dBFS as " << s16;
    }
    EXPECT_EQ(*all.silence_pct(), 50.0);
}

// The column spectrum as a conversion computes it: periodic Hann window,
// magnitude |X_k| × 2 / 2048. A plain DFT: slow, but plainly right.
class Dft {
public:
    Dft() : cos_(kWindow), sin_(kWindow), hann_(kWindow) {
        for (int n = 0; n < kWindow; ++n) {
            cos_[n] = std::cos(2 * M_PI * n / kWindow);
            sin_[n] = std::sin(2 * M_PI * n / kWindow);
            hann_[n] = 0.5 - 0.5 * cos_[n];
        }
    }
    std::vector<float> operator()(std::span<const double> x) const {
        std::vector<float> out(kBins);
        for (int k = 0; k < kBins; ++k) {
            double re = 0, im = 0;
            for (int n = 0; n < kWindow; ++n) {
                const int m = (k * n) % kWindow;
                re += x[n] * hann_[n] * cos_[m];
                im -= x[n] * hann_[n] * sin_[m];
            }
            out[k] = static_cast<float>(std::hypot(re, im) * 2 / kWindow);
        }
        return out;
    }

private:
    std::vector<double> cos_, sin_, hann_;
};

std::vector<double> white_noise(std::size_t n) {
    std::vector<double> out(n);
    std::uint32_t state = 12345;
    for (double& v : out) {
        state = state * 1664525u + 1013904223u;
        v = (state / 4294967296.0) * 2 - 1;
    }
    return out;
}

// Rounded to 16 bits, as a decoded file is: the floor a cliff falls to.
void quantise(std::vector<double>& x, double gain) {
    for (double& v : x) v = std::round(v * gain * 32768) / 32768;
}

// A steep windowed-sinc low-pass (255 taps, Blackman window).
std::vector<double> brickwall(const std::vector<double>& x, double corner_hz) {
    constexpr int kTaps = 255;
    std::vector<double> h(kTaps);
    for (int i = 0; i < kTaps; ++i) {
        const double m = i - (kTaps - 1) / 2.0, fc = corner_hz / kRate;
        const double sinc = m == 0 ? 2 * fc : std::sin(2 * M_PI * fc * m) / (M_PI * m);
        h[i] = sinc * (0.42 - 0.5 * std::cos(2 * M_PI * i / (kTaps - 1)) + 0.08 * std::cos(4 * M_PI * i / (kTaps - 1)));
    }
    std::vector<double> y(x.size(), 0.0);
    for (std::size_t n = kTaps; n < x.size(); ++n)
        for (int i = 0; i < kTaps; ++i) y[n] += h[i] * x[n - i];
    return y;
}

// Three one-pole low-passes: the slow fall of natural sound.
std::vector<double> gentle(std::vector<double> x, double corner_hz) {
    const double a = 1 - std::exp(-2 * M_PI * corner_hz / kRate);
    for (int stage = 0; stage < 3; ++stage) {
        double y = 0;
        for (double& v : x) v = y += a * (v - y);
    }
    return x;
}

// Bands of white noise above 16 kHz, each switched on or off for every 2048
// frames as `on(block, band)` says, over white noise below 16 kHz.
std::vector<double> switched_top(std::size_t frames, const std::function<bool(std::size_t, int)>& on) {
    const std::vector<double> noise = white_noise(frames);
    const double edges_hz[] = {16000, 18000, 20000, kRate / 2.0};
    std::vector<std::vector<double>> below;  // the noise under each edge
    for (double hz : edges_hz) below.push_back(brickwall(noise, hz));
    std::vector<double> out = below[0];
    for (std::size_t n = 0; n < frames; ++n)
        for (int b = 0; b + 1 < static_cast<int>(std::size(edges_hz)); ++b)
            if (on(n / kWindow, b)) out[n] += below[b + 1][n] - below[b][n];
    return out;
}

std::optional<Cutoff> cutoff_of(const std::vector<double>& x) {
    const Dft dft;
    SpectrumMeter meter(kRate, true);
    for (std::size_t at = 4096; at + kWindow <= x.size(); at += 4 * kWindow)
        meter.add(dft(std::span(x).subspan(at, kWindow)));
    return meter.cutoff();
}

TEST(SpectrumMeter, FindsTheCutoffAndTellsACliffFromARollOff) {
    constexpr std::size_t kFrames = 16 * 4 * kWindow + 8192;
    struct Case {
        const char* name;
        std::vector<double> signal;
        double low_hz, high_hz;
        bool cliff, holes = false;
    };
    // A coder's holes: one of the three top bands missing from a column
    // every so often. A hi-hat: the whole top band there or not.
    const auto coder = [](std::size_t block, int band) { return (block * 7 + static_cast<std::size_t>(band) * 3) % 5 != 0; };
    const auto hihat = [](std::size_t block, int) { return block % 3 != 0; };
    std::vector<Case> cases;
    cases.push_back({"white", white_noise(kFrames), 21500, 22050, false});
    cases.push_back({"low-passed at 16 kHz", brickwall(white_noise(kFrames), 16000), 15800, 16600, true});
    cases.push_back({"low-passed at 11 kHz", brickwall(white_noise(kFrames), 11000), 10800, 11600, true});
    cases.push_back({"rolling off from 2 kHz", gentle(white_noise(kFrames), 2000), 3000, 22050, false});
    cases.push_back({"holes above 16 kHz", switched_top(kFrames, coder), 21500, 22050, false, true});
    cases.push_back({"top band coming and going", switched_top(kFrames, hihat), 21500, 22050, false, false});
    for (Case& c : cases) {
        quantise(c.signal, 0.3);
        const auto cut = cutoff_of(c.signal);
        ASSERT_TRUE(cut) << c.name;
        EXPECT_GE(cut->hz, c.low_hz) << c.name;
        EXPECT_LE(cut->hz, c.high_hz) << c.name;
        EXPECT_EQ(cut->cliff, c.cliff) << c.name << ", drop " << cut->drop_db << " dB";
        EXPECT_EQ(cut->holes, c.holes) << c.name << ", holes " << cut->holes_pct << " %";
        EXPECT_EQ(lossy_origin("flac", cut), c.cliff || c.holes ? "suspected" : "no") << c.name;
        EXPECT_FALSE(lossy_origin("mp3", cut)) << c.name;  // only lossless files are judged
    }
    EXPECT_FALSE(cutoff_of(std::vector<double>(kFrames, 0.0)));  // silence has no cutoff
}

// Spectra made bin by bin (dB of magnitude 1 at `bin` in `column`, 100
// columns) put each rule's threshold just on either side: the cliff's drop,
// its distance below half the rate and the room above it, the 40 dB that is
// content, and the holes' depth, quiet columns and share.
TEST(SpectrumMeter, EachRuleOnBothSidesOfItsThreshold) {
    constexpr int kColumns = 100, kHoleBins = 281;  // bins 743..1023: 16 kHz up at 44.1 kHz
    // Bins up to `top` at 0 dB, the rest `below` dB under them; the 71 bins
    // up to `top` lowered by `shelf` dB, for a drop smaller than 40 dB.
    const auto step = [](int top, double below, double shelf = 0.0) {
        return [=](int bin, int) { return bin > top ? -shelf - below : bin >= top - 70 ? -shelf : 0.0; };
    };
    // `count` hole cells `depth` dB down, no bin holed in more than a few
    // columns (281 is prime, so i ↦ (i mod 100, i mod 281) never repeats).
    const auto holes = [](int count, double depth) {
        return [=](int bin, int column) {
            for (int i = bin - (kBins - kHoleBins); i >= 0 && i < count; i += kHoleBins)
                if (i % kColumns == column) return -depth;
            return 0.0;
        };
    };
    // 300 holes in 20 columns whose band is `db` down: counted unless the
    // column is more than 10 dB below the others.
    const auto quiet = [](double db) {
        return [=](int bin, int column) {
            const int k = bin - (kBins - kHoleBins);
            if (k < 0 || column >= 20) return 0.0;
            return (k + kHoleBins * 2 - column * 15) % kHoleBins < 15 ? -40.0 : -db;
        };
    };
    // A wall at bin 700 in the first `columns` columns, full band after.
    const auto steep_in = [](int columns) {
        return [=](int bin, int column) { return column < columns && bin > 700 ? -60.0 : 0.0; };
    };
    // The wall with `loud` of every 8 columns full band (clicks, clipping).
    const auto clicks = [](int loud) { return [=](int bin, int column) { return column % 8 >= loud && bin > 700 ? -60.0 : 0.0; }; };
    const struct {
        const char* name;
        std::uint32_t rate;
        std::function<double(int, int)> db;
        int cutoff_bin;
        bool cliff, holes;
        std::optional<std::uint32_t> upsampled_from = {};
    } cases[] = {
        {"drop of 25.1 dB", 44100, step(700, 25.1, 16), 700, true, false},
        {"drop of 24.9 dB", 44100, step(700, 24.9, 16), 700, false, false},
        {"cutoff just below 97 % of half the rate", 44100, step(993, 60), 993, true, false},
        {"cutoff just above 97 % of half the rate", 44100, step(994, 60), 994, false, false},
        {"406 Hz above the cutoff", 32000, step(991, 60), 991, true, false},
        {"391 Hz above the cutoff", 32000, step(992, 60), 992, false, false},
        {"cliff just above 11 kHz", 44100, step(511, 60), 511, true, false},
        {"cliff just below 11 kHz: band-limited", 44100, step(510, 60), 510, false, false},
        {"wall just above 95 % of 22.05 kHz at 48 kHz", 48000, step(894, 60), 894, false, false, 44100},
        {"wall just below it: a coder's", 48000, step(893, 60), 893, true, false},
        {"wall at 24 kHz at 96 kHz", 96000, step(1023 * 48 / 96, 60), 1023 * 48 / 96, false, false, 48000},
        {"7 of 13 segments steep", 44100, steep_in(56), 700, true, false},
        {"6 of 13 segments steep", 44100, steep_in(48), 1023, false, false},
        {"3 loud columns in every 8", 44100, clicks(3), 700, true, false},
        {"40.1 dB down is not content", 44100, step(600, 40.1), 600, true, false},
        {"39.9 dB down is content, but still a wall", 44100, step(600, 39.9), 600, true, false},
        {"40 dB down without a wall is not content", 44100, step(600, 20.0, 20.0), 600, false, false},
        {"282 holes: over 1 %", 44100, holes(282, 31), 1023, false, true},
        {"281 holes: 1 %", 44100, holes(281, 31), 1023, false, false},
        {"holes 29 dB down are not holes", 44100, holes(1000, 29), 1023, false, false},
        {"holes in columns 9 dB down", 44100, quiet(9), 1023, false, true},
        {"holes in columns 11 dB down", 44100, quiet(11), 1023, false, false},
    };
    for (const auto& c : cases) {
        SpectrumMeter meter(c.rate, true);
        std::vector<float> column(kBins);
        for (int i = 0; i < kColumns; ++i) {
            for (int k = 0; k < kBins; ++k) column[k] = static_cast<float>(std::pow(10.0, c.db(k, i) / 20));
            meter.add(column);
        }
        const auto cut = meter.cutoff();
        ASSERT_TRUE(cut) << c.name;
        EXPECT_EQ(cut->hz, c.cutoff_bin * (c.rate / 2048.0)) << c.name;
        EXPECT_EQ(cut->cliff, c.cliff) << c.name << ", drop " << cut->drop_db << " dB";
        EXPECT_EQ(cut->holes, c.holes) << c.name << ", holes " << cut->holes_pct << " %";
        EXPECT_EQ(upsampled_from_hz("flac", c.rate, cut), c.upsampled_from) << c.name;
        EXPECT_FALSE(upsampled_from_hz("mp3", c.rate, cut)) << c.name;
    }
}

class QuietLog : public Log {
    void line(std::string_view) override {}
    void error(std::string_view) override {}
};

// The conversion measures the cutoff over the columns it paints, from every
// channel: with a pane per channel, content only in the second one counts.
TEST(SpectrumMeter, ConversionReportsTheCutoff) {
    test::TempDir dir;
    std::vector<double> noise = brickwall(white_noise(3 * kRate), 11000);
    quantise(noise, 0.3);
    test::Samples mono, right_only;
    for (double v : noise) {
        mono.push_back(static_cast<std::int16_t>(std::lround(v * 32767)));
        right_only.insert(right_only.end(), {0, mono.back()});
    }
    test::write_wav(dir.file("cut.wav"), kRate, 1, mono);
    test::write_wav(dir.file("right.wav"), kRate, 2, right_only);
    auto palette = test::TestPalette::grey();
    QuietLog log;
    for (const auto& [file, channels] : {std::pair{"cut.wav", Channels::Mix}, std::pair{"right.wav", Channels::Mix},
                                         std::pair{"right.wav", Channels::Split}}) {
        SCOPED_TRACE(std::string(file) + (channels == Channels::Split ? ", split" : ", mix"));
        Options options;
        options.grid = false;
        options.palette = &palette;
        options.channels = channels;
        const Result result = convert_file(dir.file(file), std::nullopt, options, log);
        ASSERT_EQ(result.outcome, convert::Outcome::Written);
        ASSERT_TRUE(result.cutoff);
        EXPECT_NEAR(result.cutoff->hz, 11200, 400);
        EXPECT_TRUE(result.cutoff->cliff);
    }
    EXPECT_FALSE(convert_file(dir.file("missing.wav"), std::nullopt, Options{}, log).cutoff);
}

// The conversion measures levels on every channel of the frames its columns
// analyse, each frame once, in every way of reading the columns, and the
// report record carries them.
TEST(LevelMeter, ConversionReportsLevelsInEveryMode) {
    constexpr int kSeconds = 3;  // 250 columns of 529 frames: sampled windows overlap
    constexpr std::uint64_t kSamples = 2ULL * kRate * kSeconds;
    // Square waves, whose RMS is their amplitude: full scale, and quiet ones
    // 5 dB either side of where a column counts as silent.
    const auto square = [&](std::int16_t high, std::int16_t low) {
        test::Samples out(kSamples);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = (i / 100) % 2 ? high : low;
        return out;
    };
    const double minus_55 = 20 * std::log10(58 / 32768.0), minus_65 = 20 * std::log10(18 / 32768.0);
    // Left only: the mix would be 6 dB quieter than the channel.
    test::Samples left = test::sine(kRate, 2, kSeconds, 997, 0.5);  // -6.02 dBFS
    for (std::size_t i = 1; i < left.size(); i += 2) left[i] = 0;
    test::Samples half = test::sine(kRate, 2, kSeconds / 2.0, 440, 0.5);
    const test::Samples quiet = test::silence(kRate, 2, kSeconds / 2.0);
    half.insert(half.end(), quiet.begin(), quiet.end());
    const struct {
        const char* name;
        test::Samples samples;
        std::optional<double> peak_dbfs;
        std::uint64_t clipped;
        double silence_pct;
        double silence_within = 0.0;  // columns across the change count either way
    } cases[] = {
        {"square", square(32767, -32768), 0.0, kSamples, 0.0},
        {"left sine", left, -6.02, 0, 0.0},
        {"half silent", half, -6.02, 0, 50.0, 0.5},
        {"silence", test::silence(kRate, 2, kSeconds), std::nullopt, 0, 100.0},
        {"square at -55 dBFS", square(58, -58), minus_55, 0, 0.0},
        {"square at -65 dBFS", square(18, -18), minus_65, 0, 100.0},
    };
    const struct {
        const char* name;
        Coverage coverage;
        int threads;
        Channels channels;
    } modes[] = {{"sampled", Coverage::Sampled, 1, Channels::Mix},
                 {"sampled on 2 threads", Coverage::Sampled, 2, Channels::Mix},
                 {"full", Coverage::Full, 1, Channels::Mix},
                 {"full on 2 threads", Coverage::Full, 2, Channels::Mix},
                 {"sampled split", Coverage::Sampled, 1, Channels::Split},
                 {"full split on 2 threads", Coverage::Full, 2, Channels::Split}};
    test::TempDir dir;
    auto palette = test::TestPalette::grey();
    QuietLog log;
    for (const auto& c : cases) {
        test::write_wav(dir.file("a.wav"), kRate, 2, c.samples);
        for (const auto& m : modes) {
            SCOPED_TRACE(std::string(c.name) + ", " + m.name);
            Options options;
            options.palette = &palette;
            options.coverage = m.coverage;
            options.threads = m.threads;
            options.channels = m.channels;
            const Result result = convert_file(dir.file("a.wav"), std::nullopt, options, log);
            ASSERT_EQ(result.outcome, convert::Outcome::Written);
            ASSERT_EQ(result.peak_dbfs.has_value(), c.peak_dbfs.has_value());
            if (c.peak_dbfs) {
                EXPECT_NEAR(*result.peak_dbfs, *c.peak_dbfs, 0.01);
            }
            EXPECT_EQ(result.clipped_samples, c.clipped);  // every frame once
            ASSERT_TRUE(result.silence_pct);
            EXPECT_NEAR(*result.silence_pct, c.silence_pct, c.silence_within);
            const report::Record r = report::record_from(result.source, result);
            EXPECT_EQ(r.peak_dbfs, result.peak_dbfs);
            EXPECT_EQ(r.clipped_samples, static_cast<std::int64_t>(c.clipped));
            EXPECT_EQ(r.silence_pct, result.silence_pct);
        }
    }
    // Nothing was analysed of a file that could not be opened.
    const Result missing = convert_file(dir.file("missing.wav"), std::nullopt, Options{}, log);
    EXPECT_FALSE(missing.peak_dbfs || missing.clipped_samples || missing.silence_pct);
}

TEST(LosslessCodecs, AreTheOnesJudged) {
    for (const char* codec : {"flac", "pcm_s16le", "pcm_f32be", "alac", "ape", "wavpack"})
        EXPECT_TRUE(is_lossless_codec(codec)) << codec;
    for (const char* codec : {"mp3", "aac", "vorbis", "opus", "wmav2", ""}) EXPECT_FALSE(is_lossless_codec(codec)) << codec;
}

}  // namespace
}  // namespace tolvek::convert::analysis
