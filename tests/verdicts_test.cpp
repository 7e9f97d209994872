#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <string>

#include "convert/convert.h"
#include "convert/verdicts.h"
#include "report/record.h"
#include "support/fixtures.h"

namespace tolvek::convert {
namespace {

class QuietLog : public Log {
    void line(std::string_view) override {}
    void error(std::string_view) override {}
};

// White noise over the whole band at `amplitude`, stereo, 16-bit.
test::Samples noise(int rate, double seconds, double amplitude) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> u(-amplitude, amplitude);
    test::Samples out(static_cast<std::size_t>(rate * seconds) * 2);
    for (std::int16_t& s : out) s = static_cast<std::int16_t>(std::lround(u(gen) * 32767));
    return out;
}

// STREAMINFO's MD5 (bytes 18..33 of the block after "fLaC" and its 4-byte
// header) turned to other bytes.
void spoil_flac_md5(const std::string& path) {
    std::string bytes = test::read_file(path);
    for (std::size_t i = 8 + 18; i < 8 + 34; ++i) bytes[i] = static_cast<char>(~bytes[i]);
    test::write_file(path, bytes);
}

Result convert(const std::string& path, Coverage coverage, int threads = 1) {
    static auto palette = test::TestPalette::grey();
    QuietLog log;
    Options options;
    options.palette = &palette;
    options.coverage = coverage;
    options.threads = threads;
    return convert_file(path, std::nullopt, options, log);
}

// Each verdict on a small generated set, in both coverages where they differ.
TEST(Verdicts, OfEachKindOfFile) {
    test::TempDir dir;
    test::write_wav(dir.file("music.wav"), 44100, 2, test::music(44100, 2, 4.0));
    test::write_wav(dir.file("noise.wav"), 44100, 2, noise(44100, 4.0, 0.3));
    const auto made = [&](const char* from, const char* name, const std::string& args) {
        EXPECT_TRUE(test::ffmpeg_convert(dir.file(from), dir.file(name), args + " -map_metadata -1")) << name;
        return dir.file(name);
    };
    made("music.wav", "tagged.flac", "-metadata artist=\xC3\x84rtist -metadata album=A -metadata title=T");
    made("noise.wav", "padded24.flac", "-sample_fmt s32");
    made("noise.wav", "full24.flac", "-af volume=0.9 -sample_fmt s32");
    made("noise.wav", "padded24.wav", "-c:a pcm_s24le");
    made("noise.wav", "float.wav", "-c:a pcm_f32le");
    made("noise.wav", "noise.mp3", "-c:a libmp3lame -b:a 128k");
    spoil_flac_md5(made("noise.wav", "wrong-md5.flac", ""));
    // Transcodes: as made, 9 dB louder (the decode clips) and 20 dB quieter.
    for (const auto& [name, gain] : {std::pair{"plain", "0dB"}, std::pair{"loud", "9dB"}, std::pair{"quiet", "-20dB"}}) {
        const std::string mp3 = std::string(name) + ".mp3";
        made("noise.wav", mp3.c_str(), std::string("-af volume=") + gain + " -c:a libmp3lame -b:a 128k");
        made(mp3.c_str(), (std::string(name) + ".flac").c_str(), "-sample_fmt s16");
    }
    made("noise.wav", "up48.flac", "-af aresample=48000:resampler=soxr:precision=28 -sample_fmt s16");
    made("noise.wav", "narrow.flac", "-af aresample=16000,aresample=44100 -sample_fmt s16");
    const struct {
        const char* file;
        std::string bit_depth;
        std::optional<int> effective_bits;
        std::optional<bool> md5_ok;  // in a full run; never in a sampled one
        std::optional<std::string_view> lossy_origin = "no";
        std::optional<std::uint32_t> upsampled_from = {};
        std::string artist = "";
    } cases[] = {
        {"tagged.flac", "16", 16, true, {}, {}, "\xC3\x84rtist"},
        {"padded24.flac", "24", 16, true},
        {"full24.flac", "24", 24, true},
        {"padded24.wav", "24", 16, std::nullopt},
        {"noise.wav", "16", 16, std::nullopt},
        {"float.wav", "float", std::nullopt, std::nullopt},
        {"noise.mp3", "", std::nullopt, std::nullopt, std::nullopt},
        {"wrong-md5.flac", "16", 16, false},
        {"plain.flac", "16", 16, true, "suspected"},
        {"loud.flac", "16", 16, true, "suspected"},
        {"quiet.flac", "16", 16, true, "suspected"},
        {"up48.flac", "16", 16, true, "no", 44100},
        {"narrow.flac", "16", 16, true, "no"},
    };
    for (const auto& c : cases)
        for (const Coverage coverage : {Coverage::Sampled, Coverage::Full}) {
            const bool full = coverage == Coverage::Full;
            SCOPED_TRACE(std::string(c.file) + (full ? ", full" : ", sampled"));
            const Result r = convert(dir.file(c.file), coverage);
            // A checksum that fails makes the file damaged, with no time.
            const bool damaged = full && c.md5_ok == false;
            ASSERT_EQ(r.outcome, damaged ? Outcome::Damaged : Outcome::Written);
            if (damaged) EXPECT_EQ(r.damage, (Damage{std::nullopt, "MD5 mismatch"}));
            EXPECT_EQ(r.bit_depth, c.bit_depth);
            EXPECT_EQ(r.effective_bits, c.effective_bits);
            EXPECT_EQ(r.md5_ok, full ? c.md5_ok : std::nullopt);
            EXPECT_EQ(r.md5_mismatch, full && c.md5_ok == false);
            EXPECT_EQ(r.artist, c.artist);
            EXPECT_EQ(r.loudness_lufs.has_value(), full);
            EXPECT_EQ(r.upsampled_from_hz, c.upsampled_from);
            const report::Record record = report::record_from(r.source, r);
            if (std::string_view(c.file) != "tagged.flac") {
                EXPECT_EQ(record.lossy_origin, c.lossy_origin);  // music.wav's is not this test's subject
            }
            EXPECT_EQ(record.md5_ok, r.md5_ok ? std::optional<std::string>(*r.md5_ok ? "yes" : "no") : std::nullopt);
            EXPECT_EQ(record.bit_depth.value_or(""), c.bit_depth);
            EXPECT_EQ(record.upsampled_from_hz, c.upsampled_from);
        }
    // Two readers take the file in stretches: the checksum and the loudness
    // still see every frame once, in order.
    for (const char* file : {"full24.flac", "wrong-md5.flac"}) {
        SCOPED_TRACE(file);
        const Result one = convert(dir.file(file), Coverage::Full), two = convert(dir.file(file), Coverage::Full, 2);
        EXPECT_EQ(two.md5_ok, one.md5_ok);
        EXPECT_EQ(two.loudness_lufs, one.loudness_lufs);
        EXPECT_EQ(two.loudness_range_lu, one.loudness_range_lu);
        EXPECT_EQ(two.true_peak_dbtp, one.true_peak_dbtp);
    }
    const Result tagged = convert(dir.file("tagged.flac"), Coverage::Sampled);
    EXPECT_EQ(tagged.album, "A");
    EXPECT_EQ(tagged.title, "T");
}

// A sine's EBU R128 loudness follows from its mean square: near 1 kHz the
// K-weighting's gain (+0.691 dB) cancels the formula's -0.691, so
// L = 10 log10(sum over channels of A^2 / 2), and a full-scale sine in one
// channel reads -3.01 LUFS. Its true peak is its amplitude.
TEST(Verdicts, LoudnessOfAKnownSine) {
    test::TempDir dir;
    const double amplitude = 0.5 * 32767 / 32768;  // as the 16-bit fixture stores it
    const struct {
        int channels;
        double lufs;
    } cases[] = {
        {1, 10 * std::log10(amplitude * amplitude / 2)},      // about -9.03
        {2, 10 * std::log10(2 * amplitude * amplitude / 2)},  // about -6.02
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.channels);
        test::write_wav(dir.file("sine.wav"), 48000, c.channels, test::sine(48000, c.channels, 10.0, 997, 0.5));
        const Result r = convert(dir.file("sine.wav"), Coverage::Full);
        ASSERT_TRUE(r.loudness_lufs && r.true_peak_dbtp && r.loudness_range_lu);
        EXPECT_NEAR(*r.loudness_lufs, c.lufs, 0.01);
        EXPECT_NEAR(*r.true_peak_dbtp, 20 * std::log10(amplitude), 0.05);
        EXPECT_NEAR(*r.loudness_range_lu, 0.0, 0.01);
    }
    test::write_wav(dir.file("silence.wav"), 48000, 2, test::silence(48000, 2, 3.0));
    const Result silent = convert(dir.file("silence.wav"), Coverage::Full);
    EXPECT_FALSE(silent.loudness_lufs || silent.true_peak_dbtp || silent.loudness_range_lu);
    EXPECT_EQ(silent.effective_bits, 0);
}

TEST(Verdicts, FramedTitleFindings) {
    Result r;
    r.codec = "flac";
    r.cutoff = analysis::Cutoff{.hz = 16200, .drop_db = 40, .cliff = true};
    r.upsampled_from_hz = 44100;
    r.bit_depth = "24";
    r.effective_bits = 16;
    r.loudness_lufs = -9.8;
    r.true_peak_dbtp = -0.3;
    EXPECT_EQ(frame_findings(r), (std::vector<std::string>{"lossy origin suspected (cliff at 16.2 kHz)",
                                                           "upsampled from 44.1 kHz", "16 of 24 bits used",
                                                           "\xE2\x88\x92" "9.8 LUFS, TP \xE2\x88\x92" "0.3 dBTP"}));
    r.cutoff->cliff = false;
    r.upsampled_from_hz.reset();
    r.effective_bits = 24;
    r.loudness_lufs.reset();
    EXPECT_TRUE(frame_findings(r).empty());
}

}  // namespace
}  // namespace tolvek::convert
