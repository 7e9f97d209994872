// Streams read through FFmpeg: opening and refusing files, lengths, and the
// spectrum windows, each checked against a full decode by the ffmpeg tool.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>

#include "audio/audio.h"
#include "audio/formats.h"
#include "audio/spectrum.h"
#include "audio/versions.h"
#include "support/fixtures.h"

namespace tolvek::audio {
namespace {

// ---- Shared helpers -------------------------------------------------------

using test::TempDir;

using Spectrum = std::array<float, kSpectrumBins>;

// Stream::open with the status kept for the assertions' messages.
struct Opened {
    std::unique_ptr<Stream> stream;
    Status status;
};
Opened open_stream(const std::string& path) {
    Opened o;
    o.stream = Stream::open(path, o.status);
    return o;
}

// A full decode by the ffmpeg tool, as 16-bit interleaved PCM: the
// reference that every spectrum window must match.
std::vector<std::int16_t> full_decode(const std::string& path, const TempDir& dir) {
    const std::string raw = dir.file("reference.raw");
    EXPECT_TRUE(test::ffmpeg_convert(path, raw, "-f s16le -acodec pcm_s16le"));
    const std::string bytes = test::read_file(raw);
    std::vector<std::int16_t> pcm(bytes.size() / 2);
    std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
    return pcm;
}

Spectrum reference_spectrum(const std::vector<std::int16_t>& pcm, int channels, std::int64_t frame) {
    std::array<float, kWindowFrames> mono{};
    const std::int64_t frames = static_cast<std::int64_t>(pcm.size()) / channels;
    for (int k = 0; k < kWindowFrames; ++k) {
        if (frame + k >= frames) break;
        int sum = 0;
        for (int c = 0; c < channels; ++c) sum += pcm[(frame + k) * channels + c];
        mono[k] = static_cast<float>(sum) / (32768.0f * channels);
    }
    SpectrumAnalyzer fft;
    Spectrum out{};
    fft.analyze(mono, out);
    return out;
}

// Whether the window read at `frame` is the one a full decode has there,
// each bin within a ten-thousandth of itself and a millionth of full scale.
testing::AssertionResult matches_full_decode(const Spectrum& got, const std::vector<std::int16_t>& pcm, int channels,
                                             std::int64_t frame) {
    const Spectrum want = reference_spectrum(pcm, channels, frame);
    for (int k = 0; k < kSpectrumBins; ++k) {
        const double diff = std::fabs(static_cast<double>(got[k]) - static_cast<double>(want[k]));
        if (!(diff <= 1e-6f + want[k] * 1e-4f))  // NaN fails too
            return testing::AssertionFailure()
                   << "frame " << frame << " bin " << k << ": " << got[k] << ", full decode " << want[k];
    }
    return testing::AssertionSuccess();
}

// Writes src.wav of test::music; for any other `ext` the ffmpeg tool makes
// src.<ext> of it with `args`. The file to read, or "" if it was not made.
std::string make_source(const TempDir& dir, int rate, int channels, double seconds, const std::string& ext,
                        const std::string& args = "") {
    const std::string wav = dir.file("src.wav");
    test::write_wav(wav, rate, channels, test::music(rate, channels, seconds));
    if (ext == "wav") return wav;
    const std::string path = dir.file("src." + ext);
    return test::ffmpeg_convert(wav, path, args) ? path : "";
}

// a.wav of `pcm` (8 kHz stereo) and a.flac made of it: the same frames
// through two demuxers. False if the FLAC file was not made.
bool write_wav_and_flac(const TempDir& dir, const test::Samples& pcm) {
    test::write_wav(dir.file("a.wav"), 8000, 2, pcm);
    return test::ffmpeg_convert(dir.file("a.wav"), dir.file("a.flac"));
}

// A file's bytes changed after it is made: `edit` gets the whole file and
// returns the new one.
void edit_file(const std::string& path, const std::function<std::string(std::string)>& edit) {
    test::write_file(path, edit(test::read_file(path)));
}

void put_le32(std::string& bytes, std::size_t at, std::uint32_t value) {
    std::string le(4, '\0');
    for (int k = 0; k < 4; ++k) le[k] = static_cast<char>((value >> (8 * k)) & 0xff);
    bytes.replace(at, le.size(), le);
}

std::size_t read_be24(const std::string& bytes, std::size_t at) {
    std::size_t v = 0;
    for (std::size_t k = 0; k < 3; ++k) v = v << 8 | static_cast<std::uint8_t>(bytes.at(at + k));
    return v;
}

// ---- The FFmpeg libraries -------------------------------------------------

TEST(AudioLayer, DecoderFamiliesArePresent) {
    EXPECT_TRUE(has_decoders(DecoderFamily::Wma));
    EXPECT_TRUE(has_decoders(DecoderFamily::Ape));
    EXPECT_TRUE(has_decoders(DecoderFamily::Flac));
}

TEST(AudioLayer, LibraryVersionsMustMatch) {
    EXPECT_TRUE(start());
    const LibraryVersion same[] = {{"libavcodec", 59, 59}, {"libavutil", 57, 57}};
    EXPECT_TRUE(check_versions(same));
    const LibraryVersion newer[] = {{"libavformat", 59, 59}, {"libavcodec", 59, 60}};
    const Status s = check_versions(newer);
    EXPECT_EQ(s.code, kErrorStart);
    EXPECT_EQ(s.message, "libavcodec 59 was built against, 60 found");
}

TEST(AudioLayer, FormatListsAreSortedAndNameTheCommonOnes) {
    const std::vector<std::string> containers = readable_containers();
    const std::vector<std::string> decoders = audio_decoders();
    EXPECT_TRUE(std::is_sorted(containers.begin(), containers.end()));
    EXPECT_TRUE(std::adjacent_find(decoders.begin(), decoders.end(), std::greater_equal<>()) == decoders.end());
    for (const std::string c : {"flac (flac)", "mp3 (mp2, mp3, m2a, mpa)", "wav (wav)"})
        EXPECT_NE(std::find(containers.begin(), containers.end(), c), containers.end()) << c;
    for (const char* d : {"flac", "mp3float", "vorbis", "pcm_s16le"})
        EXPECT_TRUE(std::binary_search(decoders.begin(), decoders.end(), d)) << d;
}

TEST(AudioLayer, AudioExtensionsInAnyCase) {
    struct Case {
        std::string_view ending;
        bool audio;
    };
    for (const Case& c : {Case{"flac", true}, Case{"FLAC", true}, Case{"Au", true}, Case{"w64", true},
                          Case{"aifc", true}, Case{"mp4", false}, Case{"png", false}, Case{"", false},
                          Case{"fla", false}, Case{"flacc", false}, Case{"a", false}})
        EXPECT_EQ(is_audio_extension(c.ending), c.audio) << c.ending;
}

// ---- Opening and refusing -------------------------------------------------

TEST(AudioStream, TypeBits) {
    TempDir dir;
    const std::string wav = dir.file("a.wav");
    test::write_wav(wav, 44100, 1, test::sine(44100, 1, 0.5, 440));
    ASSERT_TRUE(test::ffmpeg_convert(wav, dir.file("a.flac")));
    ASSERT_TRUE(test::ffmpeg_convert(wav, dir.file("a.mp3")));
    ASSERT_TRUE(test::ffmpeg_convert(wav, dir.file("a.m4a")));
    test::write_file(dir.file("a.mod"), test::tracker_module());
    const std::pair<const char*, std::uint32_t> cases[] = {{"a.wav", kTypeStream | kTypeWav},
                                                           {"a.flac", kTypeStream},
                                                           {"a.mp3", kTypeStream},
                                                           {"a.m4a", kTypeStream}};
    for (auto [name, type] : cases) {
        const Opened opened = open_stream(dir.file(name));
        const auto& s = opened.stream;
        ASSERT_NE(s, nullptr) << name << ": " << opened.status.message;
        EXPECT_EQ(s->info().type, type) << name;
    }
    const Opened module = open_stream(dir.file("a.mod"));
    if (test::kModulesOpen) {
        ASSERT_NE(module.stream, nullptr) << module.status.message;
        EXPECT_EQ(module.stream->info().type, 0u);
    } else {
        EXPECT_EQ(module.stream, nullptr);
        EXPECT_EQ(module.status.code, kErrorFormat);
    }
}

TEST(AudioStream, FilesThatDoNotOpen) {
    TempDir dir;
    test::write_file(dir.file("notes.txt"), "Not a sound at all, just a few words of text.\n");
    test::write_file(dir.file("empty.mp3"), "");
    ASSERT_EQ(test::run({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", "color=c=blue:s=32x32:d=1",
                         "-frames:v", "1", "-c:v", "png", dir.file("picture.mkv")},
                        dir.path())
                  .status,
              0);
    const std::pair<const char*, Error> cases[] = {
        {"missing.wav", kErrorFileOpen}, {".", kErrorFileOpen},         {"notes.txt", kErrorFormat},
        {"empty.mp3", kErrorFormat},     {"picture.mkv", kErrorNoAudio},
    };
    for (auto [name, code] : cases) {
        const Opened o = open_stream(dir.file(name));
        EXPECT_EQ(o.stream, nullptr) << name;
        EXPECT_EQ(o.status.code, code) << name << ": " << o.status.message;
        EXPECT_FALSE(o.status.message.empty()) << name;
    }
}

TEST(AudioStream, NamesAreAlwaysLocalFiles) {
    // Names that look like other protocols are read as files in the
    // working directory, never fetched or run.
    TempDir dir;
    test::write_wav(dir.file("pipe:0"), 8000, 1, test::silence(8000, 1, 0.1));
    const Opened local = open_stream(dir.file("pipe:0"));
    EXPECT_NE(local.stream, nullptr) << local.status.message;
    const Opened remote = open_stream("http://127.0.0.1:9/x.mp3");
    EXPECT_EQ(remote.stream, nullptr);
    EXPECT_EQ(remote.status.code, kErrorFileOpen);
}

// A source never makes us open another file: playlists and concatenation
// lists that name a readable WAV beside them are refused, not followed.
TEST(AudioStream, ListsOfOtherFilesAreNotFollowed) {
    TempDir dir;
    test::write_wav(dir.file("a.wav"), 8000, 1, test::sine(8000, 1, 1.0, 440));
    const std::pair<const char*, const char*> cases[] = {
        {"list.ffconcat", "ffconcat version 1.0\nfile a.wav\n"},
        {"list.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\na.wav\n#EXT-X-ENDLIST\n"},
    };
    for (auto [name, text] : cases) {
        test::write_file(dir.file(name), text);
        const Opened o = open_stream(dir.file(name));
        EXPECT_EQ(o.stream, nullptr) << name << ": " << (o.stream ? o.stream->info().rate : 0);
        EXPECT_FALSE(o.status) << name;
    }
}

TEST(AudioStream, SpecialFilesAreRefusedAtOnce) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0600), 0);
    for (const std::string& path : {dir.file("fifo.wav"), std::string("/dev/zero")}) {
        const Opened o = open_stream(path);
        EXPECT_EQ(o.stream, nullptr) << path;
        EXPECT_EQ(o.status.code, kErrorFileOpen) << path;
    }
}

// ---- Lengths: measured, counted, and what a FLAC file's frames hold -------

TEST(AudioStream, MeasuresWithoutDecoding) {
    TempDir dir;
    const struct {
        const char* name;
        int rate;
        int channels;
        double seconds;
    } cases[] = {{"mono8k.wav", 8000, 1, 2.5}, {"eight.wav", 48000, 8, 0.5}, {"one.wav", 44100, 2, 1.0 / 44100}};
    for (const auto& c : cases) {
        const std::string path = dir.file(c.name);
        test::write_wav(path, c.rate, c.channels, test::silence(c.rate, c.channels, c.seconds));
        const Opened opened = open_stream(path);
        const auto& s = opened.stream;
        ASSERT_NE(s, nullptr) << c.name;
        const auto frames = static_cast<std::uint64_t>(std::llround(c.seconds * c.rate));
        EXPECT_EQ(s->length_bytes(), frames * c.channels * 2) << c.name;
        EXPECT_FLOAT_EQ(s->bytes_to_seconds(s->length_bytes()), static_cast<float>(frames) / c.rate) << c.name;
        EXPECT_EQ(s->info().rate, static_cast<std::uint32_t>(c.rate)) << c.name;
        EXPECT_EQ(s->info().channels, static_cast<std::uint32_t>(c.channels)) << c.name;
        EXPECT_EQ(s->file_size(), frames * c.channels * 2 + 44) << c.name;
    }
}

// Where the container gives no length, or one its bytes cannot hold, or
// (a chained Ogg file) only its last link's, the length is what a full
// decode gives; a claim far beyond the file is flagged as wrong. Claims
// are believed up to 64 times what the stated bit rate puts in the file's
// bytes, and up to 65536 frames a byte where no rate is stated.
TEST(AudioStream, LengthsTheContainerCannotGiveAreCounted) {
    const struct {
        const char* name;
        const char* ext;
        const char* args;
        std::function<std::string(std::string)> edit;
        bool wrong;
        double believed_s = 0.0;  // the length taken, when not the full decode's (-1: far beyond)
    } cases[] = {
        {"matroska as written", "mka", "-c:a pcm_s16le", nullptr, false, 3.0},
        {"ogg as written", "ogg", "-c:a libvorbis", nullptr, false},
        {"duration 60 times what the bit rate allows", "mka", "-c:a pcm_s16le",
         [](std::string b) { return test::with_matroska_duration(b, 180e3); }, false, 180.0},
        {"duration 70 times what the bit rate allows", "mka", "-c:a pcm_s16le",
         [](std::string b) { return test::with_matroska_duration(b, 210e3); }, true},
        {"duration of 60000 frames a byte", "mka", "-c:a flac",
         [](std::string b) { return test::with_matroska_duration(b, b.size() * 60000e3 / 44100); }, false, -1},
        {"duration of 70000 frames a byte", "mka", "-c:a flac",
         [](std::string b) { return test::with_matroska_duration(b, b.size() * 70000e3 / 44100); }, true},
        {"duration not a number", "mka", "-c:a flac",
         [](std::string b) { return test::with_matroska_duration(b, std::nan("")); }, false},
        {"duration infinite", "mka", "-c:a pcm_s16le",
         [](std::string b) { return test::with_matroska_duration(b, HUGE_VAL); }, false},
        {"duration negative", "mka", "-c:a pcm_s16le",
         [](std::string b) { return test::with_matroska_duration(b, -5000.0); }, false},
        {"duration 1e300 ms", "mka", "-c:a libmp3lame",
         [](std::string b) { return test::with_matroska_duration(b, 1e300); }, false},
        {"duration 1e15 ms", "mka", "-c:a pcm_s16le",
         [](std::string b) { return test::with_matroska_duration(b, 1e15); }, true},
        {"duration 1e15 ms, AAC", "mka", "-c:a aac",
         [](std::string b) { return test::with_matroska_duration(b, 1e15); }, true},
        {"granule 2^62", "ogg", "-c:a libvorbis",
         [](std::string b) { return test::with_last_ogg_granule(b, std::uint64_t{1} << 62); }, true},
        {"three links of the same stream", "ogg", "-c:a libvorbis", [](std::string b) { return b + b + b; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = make_source(dir, 44100, 1, 3.0, c.ext, c.args);
        ASSERT_FALSE(path.empty());
        if (c.edit) edit_file(path, c.edit);
        const auto frames = static_cast<std::uint64_t>(full_decode(path, dir).size());
        const Opened o = open_stream(path);
        ASSERT_NE(o.stream, nullptr) << o.status.message;
        const double seconds = o.stream->bytes_to_seconds(o.stream->length_bytes());
        if (c.believed_s == 0.0) EXPECT_EQ(o.stream->length_bytes(), frames * 2);
        else if (c.believed_s > 0.0) EXPECT_NEAR(seconds, c.believed_s, 0.001);
        else EXPECT_GT(seconds, 1e4);
        EXPECT_EQ(o.stream->claimed_length_wrong(), c.wrong);
        EXPECT_EQ(o.stream->packets_read(), 0U);  // counting the frames is not the windows' reading
        Status sibling_opened;
        const auto sibling = o.stream->sibling(sibling_opened);
        ASSERT_NE(sibling, nullptr) << sibling_opened.message;
        EXPECT_EQ(sibling->length_bytes(), o.stream->length_bytes());
        EXPECT_EQ(sibling->claimed_length_wrong(), c.wrong);
    }
}

// A FLAC file is as long as its frames: a total of 0 (unknown) or more
// than the data holds is measured by the last frame, once, and only a
// claim the data cannot hold marks the file damaged. A claim shorter than
// the data is the file's to make.
TEST(AudioStream, FlacLengthIsWhatItsFramesHold) {
    TempDir dir;
    const std::string path = make_source(dir, 8000, 1, 3.0, "flac");
    ASSERT_FALSE(path.empty());
    const std::string clean = test::read_file(path);
    constexpr std::uint64_t kHeld = 3 * 8000;
    const struct {
        const char* name;
        std::uint64_t total, length;
        bool wrong;
    } cases[] = {
        {"exact", kHeld, kHeld, false},
        {"unknown", 0, kHeld, false},
        {"one frame more", kHeld + 1, kHeld, true},
        {"24 hours", 24 * 3600 * 8000, kHeld, true},
        {"shorter", kHeld - 1000, kHeld - 1000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::write_file(path, test::with_flac_total(clean, c.total));
        const Opened o = open_stream(path);
        ASSERT_NE(o.stream, nullptr) << o.status.message;
        EXPECT_EQ(o.stream->length_bytes(), c.length * 2);
        EXPECT_EQ(o.stream->claimed_length_wrong(), c.wrong);
        Status sibling;
        const auto s = o.stream->sibling(sibling);
        ASSERT_NE(s, nullptr) << sibling.message;
        EXPECT_EQ(s->length_bytes(), c.length * 2);
        // Read to the end and back: a reopen keeps the measured length.
        Spectrum out{};
        ASSERT_TRUE(o.stream->seek((c.length - 100) * 2) && o.stream->read_spectrum(out));
        ASSERT_TRUE(o.stream->seek(0) && o.stream->read_spectrum(out));
        EXPECT_EQ(o.stream->length_bytes(), c.length * 2);
    }
}

// ---- The spectrum transform -----------------------------------------------

TEST(SpectrumAnalyzer, FullScaleSineAtBinCentrePeaksAtHalf) {
    // Bin 100 of 2048 at 44.1 kHz.
    std::array<float, kWindowFrames> mono{};
    for (int n = 0; n < kWindowFrames; ++n) mono[n] = static_cast<float>(std::sin(2 * std::numbers::pi * 100 * n / kWindowFrames));
    SpectrumAnalyzer fft;
    ASSERT_TRUE(fft.ok());
    Spectrum out{};
    fft.analyze(mono, out);
    EXPECT_NEAR(out[100], 0.5f, 1e-4);
    EXPECT_NEAR(out[99], 0.25f, 1e-4);  // Hann: half the peak in each neighbour
    EXPECT_NEAR(out[101], 0.25f, 1e-4);
    EXPECT_LT(out[300], 1e-5);
    EXPECT_LT(out[0], 1e-5);
}

TEST(SpectrumAnalyzer, MatchesDirectTransform) {
    std::array<float, kWindowFrames> mono{};
    std::uint32_t x = 12345;
    for (auto& v : mono) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<float>(static_cast<std::int32_t>(x) / 2147483648.0);
    }
    SpectrumAnalyzer fft;
    Spectrum out{};
    fft.analyze(mono, out);
    for (int k : {0, 1, 7, 511, 1000, 1023}) {
        double re = 0, im = 0;
        for (int n = 0; n < kWindowFrames; ++n) {
            const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * n / kWindowFrames);
            re += mono[n] * w * std::cos(2 * std::numbers::pi * k * n / kWindowFrames);
            im -= mono[n] * w * std::sin(2 * std::numbers::pi * k * n / kWindowFrames);
        }
        EXPECT_NEAR(out[k], std::hypot(re, im) * 2 / kWindowFrames, 1e-4) << "bin " << k;
    }
}

// ---- Decoded formats: every window matches a full decode ------------------

struct FormatCase {
    const char* name;
    const char* ext;
    const char* args;
    bool exact_length;
    int links = 1;  // files of as many pieces, each made alone, joined (a chained Ogg file)
    double length_slack_s = 0.1;  // how far an inexact length may be off
};

class DecodedFormats : public testing::TestWithParam<FormatCase> {};

// Every window is the 2048 frames a full decode has at that frame index,
// whether reached forwards, by a jump, or backwards.
TEST_P(DecodedFormats, WindowsMatchFullDecode) {
    const FormatCase& c = GetParam();
    TempDir dir;
    const std::string path = make_source(dir, 44100, 2, 12.0, c.ext, c.args);
    ASSERT_FALSE(path.empty());
    if (c.links > 1) {
        const std::string wav = dir.file("src.wav");
        std::string joined;
        for (int k = 0; k < c.links; ++k) {
            const std::string piece = dir.file("piece." + std::to_string(k) + "." + c.ext);
            test::write_wav(wav, 44100, 2, test::music(44100, 2, 12.0 / c.links, static_cast<std::uint32_t>(k + 2)));
            ASSERT_TRUE(test::ffmpeg_convert(wav, piece, c.args));
            joined += test::read_file(piece);
        }
        test::write_file(path, joined);
    }
    const auto pcm = full_decode(path, dir);

    const Opened opened = open_stream(path);
    const auto& s = opened.stream;
    ASSERT_NE(s, nullptr) << opened.status.message;
    const int channels = static_cast<int>(s->info().channels);
    const std::int64_t frames = static_cast<std::int64_t>(pcm.size()) / channels;
    const std::uint64_t frame_bytes = 2ULL * channels;
    if (c.exact_length)
        EXPECT_EQ(s->length_bytes(), static_cast<std::uint64_t>(frames) * frame_bytes);
    else
        EXPECT_NEAR(static_cast<double>(s->length_bytes() / frame_bytes), frames, s->info().rate * c.length_slack_s);

    // Forwards in small steps (windows overlap), in column-sized steps and
    // in long jumps (most packets left out), then backwards and past the end.
    std::vector<std::int64_t> positions;
    for (std::int64_t f = 0; f < frames; f += 1500) positions.push_back(f);
    for (std::int64_t f = 3; f < frames; f += 7001) positions.push_back(f);
    for (std::int64_t f = 11; f < frames; f += 26460) positions.push_back(f);
    for (std::int64_t f : {frames - 100, std::int64_t{30000}, std::int64_t{7}, frames + 10}) positions.push_back(f);
    for (std::int64_t frame : positions) {
        ASSERT_TRUE(s->seek(static_cast<std::uint64_t>(frame) * frame_bytes + 1));  // mid-frame rounds down
        Spectrum got{};
        ASSERT_TRUE(s->read_spectrum(got));
        ASSERT_TRUE(matches_full_decode(got, pcm, channels, frame)) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, DecodedFormats,
                         testing::Values(FormatCase{"wav", "wav", "", true},
                                         FormatCase{"flac", "flac", "", true},
                                         FormatCase{"mp3cbr", "mp3", "-b:a 192k", false},
                                         FormatCase{"mp3vbr", "mp3", "-q:a 4", false},
                                         FormatCase{"mp3vbr_best", "mp3", "-q:a 0", false},
                                         FormatCase{"mp3vbr_worst", "mp3", "-q:a 9", false},
                                         FormatCase{"mp3_320k", "mp3", "-b:a 320k", false},
                                         FormatCase{"mp3_32k_mono", "mp3", "-b:a 32k -ac 1", false},
                                         FormatCase{"mp3_22k", "mp3", "-b:a 64k -ar 22050", false},
                                         FormatCase{"ogg_low", "ogg", "-c:a libvorbis -q:a 0", true},
                                         FormatCase{"ogg_high", "ogg", "-c:a libvorbis -q:a 9", true},
                                         FormatCase{"m4a", "m4a", "-c:a aac -b:a 128k", false},
                                         FormatCase{"opus", "opus", "-c:a libopus -b:a 96k", false},
                                         FormatCase{"ogg", "ogg", "-c:a libvorbis -q:a 4", true},
                                         FormatCase{"aiff", "aiff", "", true},
                                         FormatCase{"ogg_chained", "ogg", "-c:a libvorbis", true, 3},
                                         FormatCase{"mka_pcm", "mka", "-c:a pcm_s16le", false},
                                         FormatCase{"mka_flac", "mka", "-c:a flac", false},
                                         FormatCase{"mka_mp3", "mka", "-c:a libmp3lame -b:a 128k", false},
                                         FormatCase{"mka_vorbis", "mka", "-c:a libvorbis", false},
                                         FormatCase{"mp2", "mp2", "-b:a 192k", false},
                                         FormatCase{"oga", "oga", "-c:a flac", true},
                                         FormatCase{"aif", "aif", "", true},
                                         FormatCase{"aifc", "aifc", "-c:a pcm_s16be", true},
                                         FormatCase{"wma", "wma", "-c:a wmav2 -b:a 128k", false},
                                         // ADTS records no length: the demuxer estimates it from the bit rate.
                                         FormatCase{"aac", "aac", "-c:a aac -b:a 128k", false, 1, 0.5},
                                         FormatCase{"wv", "wv", "", true},
                                         FormatCase{"ac3", "ac3", "-b:a 192k", false},
                                         FormatCase{"dts", "dts", "-c:a dca -strict experimental", false},
                                         FormatCase{"tta", "tta", "", true},
                                         FormatCase{"caf", "caf", "-c:a alac", false},
                                         FormatCase{"w64", "w64", "", true},
                                         FormatCase{"au", "au", "", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Other sample formats are first made 16-bit, as every window is defined on
// 16-bit samples.
TEST(AudioStream, WiderSampleFormatsReadAs16Bit) {
    TempDir dir;
    const std::string wav = dir.file("src.wav");
    test::write_wav(wav, 44100, 2, test::music(44100, 2, 2.0));
    for (const char* codec : {"pcm_s24le", "pcm_f32le", "pcm_u8"}) {
        const std::string path = dir.file(std::string(codec) + ".wav");
        ASSERT_TRUE(test::ffmpeg_convert(wav, path, std::string("-c:a ") + codec));
        const auto pcm = full_decode(path, dir);
        const Opened opened = open_stream(path);
        const auto& s = opened.stream;
        ASSERT_NE(s, nullptr);
        for (std::int64_t frame : {0, 30000, 80000}) {
            ASSERT_TRUE(s->seek(static_cast<std::uint64_t>(frame) * 4));
            Spectrum got{};
            ASSERT_TRUE(s->read_spectrum(got));
            ASSERT_TRUE(matches_full_decode(got, pcm, 2, frame)) << codec;
        }
    }
}

// ---- Seeking and passing over gaps ----------------------------------------

struct SeekCase {
    const char* name;
    int rate, channels;
    double seconds;
    const char* ext;   // made from the WAV by the ffmpeg tool unless "wav"
    const char* args;
    std::function<std::string(std::string)> edit;  // of the WAV, if any
    bool seeks;        // passes over most of the file
    bool exact_length = true;  // as the container records it
};

// Windows far apart in WAV, AIFF and FLAC files are reached by seeking the
// demuxer, in MP3 files by walking frame headers; each is still the very
// frames a full decode has there, also right after the seek (the next
// window reads on), in the last, shorter packet and where a seek could not
// be trusted or a walk not go on.
TEST(AudioStream, SoughtWindowsMatchFullDecode) {
    const auto extra_chunks = [](std::string b) {
        // A LIST chunk of odd size (with its pad byte) and a fact chunk
        // before the data: the data starts at byte 66, not a whole frame.
        const std::string chunks = std::string("LIST\x05\0\0\0INFOx\0", 14) + std::string("fact\x04\0\0\0\0\0\0\0", 12);
        b.insert(36, chunks);
        put_le32(b, 4, static_cast<std::uint32_t>(b.size() - 8));
        return b;
    };
    const auto wrong_byte_rate = [](std::string b) {
        put_le32(b, 28, 44100 * 4 + 1000);  // a seek by time lands on the wrong frame
        return b;
    };
    const SeekCase cases[] = {
        {"wav", 44100, 2, 12.0, "wav", "", nullptr, true},
        {"wav_extra_chunks", 44100, 2, 12.0, "wav", "", extra_chunks, true},
        {"wav_six_channels", 48000, 6, 6.0, "wav", "", nullptr, true},
        {"wav_24bit", 44100, 2, 12.0, "wav24.wav", "-c:a pcm_s24le", nullptr, true},
        {"wav_wrong_byte_rate", 44100, 2, 12.0, "wav", "", wrong_byte_rate, false},
        {"aiff", 44100, 2, 12.0, "aiff", "", nullptr, true},
        {"aiff_24bit_mono", 22050, 1, 12.0, "aiff", "-c:a pcm_s24be", nullptr, true},
        // FLAC seeks only pay over long gaps: 240 s at 8 kHz.
        {"flac", 8000, 1, 240.0, "flac", "", nullptr, true},
        {"flac_odd_block_size", 8000, 1, 240.0, "flac", "-frame_size 1153", nullptr, true},
        {"flac_stereo_24bit", 8000, 2, 240.0, "flac", "-sample_fmt s32 -frame_size 4095", nullptr, true},
        {"mp3", 44100, 2, 12.0, "mp3", "-b:a 128k", nullptr, true, false},
        {"mp3_vbr_tags", 44100, 2, 12.0, "mp3", "-q:a 2 -id3v2_version 3 -write_id3v1 1 -metadata title=T", nullptr,
         true, false},
        {"mp3_mpeg2_22khz", 22050, 2, 12.0, "mp3", "-b:a 64k", nullptr, true, false},
        // MPEG-2.5 at the lowest rate: a pre-roll of many small frames.
        {"mp3_8khz_8kbps", 8000, 1, 60.0, "mp3", "-b:a 8k", nullptr, true, false},
    };
    for (const SeekCase& c : cases) {
        TempDir dir;
        const std::string path = make_source(dir, c.rate, c.channels, c.seconds, c.ext, c.args);
        ASSERT_FALSE(path.empty()) << c.name;
        if (c.edit) edit_file(path, c.edit);
        const auto pcm = full_decode(path, dir);
        const Opened o = open_stream(path), all = open_stream(path);
        ASSERT_NE(o.stream, nullptr) << c.name << ": " << o.status.message;
        ASSERT_NE(all.stream, nullptr) << c.name;
        const int channels = c.channels;
        const std::int64_t frames = static_cast<std::int64_t>(pcm.size()) / channels;
        const std::uint64_t frame_bytes = 2ULL * channels;
        if (c.exact_length)
            ASSERT_EQ(o.stream->length_bytes(), static_cast<std::uint64_t>(frames) * frame_bytes) << c.name;
        else
            EXPECT_NEAR(static_cast<double>(o.stream->length_bytes() / frame_bytes), frames, c.rate * 0.25) << c.name;
        // Gaps of about a third of the file, each followed by windows that
        // read on; then the end.
        const std::int64_t positions[] = {0,          3,          frames * 3 / 10 + 1,   frames * 3 / 10 + 2,
                                          frames * 3 / 10 + 1500, frames * 62 / 100 + 7, frames * 95 / 100,
                                          frames - 1500,          frames - 1};
        for (std::int64_t frame : positions) {
            ASSERT_TRUE(o.stream->seek(static_cast<std::uint64_t>(frame) * frame_bytes)) << c.name;
            Spectrum got{};
            ASSERT_TRUE(o.stream->read_spectrum(got)) << c.name;
            ASSERT_TRUE(matches_full_decode(got, pcm, channels, frame)) << c.name;
        }
        // Every packet, for comparison: a full read of the file.
        Spectrum max{};
        ASSERT_TRUE(all.stream->read_max_spectra(0, static_cast<std::uint64_t>(frames + 1) * frame_bytes, max));
        const double share =
            static_cast<double>(o.stream->packets_read()) / static_cast<double>(all.stream->packets_read());
        if (c.seeks)
            EXPECT_LT(share, 0.5) << c.name;
        else
            EXPECT_GE(share, 0.9) << c.name;
    }
}

// Where an MP3 file is not frames from end to end, a walk stops at the
// damage and the file is read from its start, as FFmpeg's parser cuts such
// bytes by where it began: windows far apart are the very windows a read
// through every packet gives.
TEST(AudioStream, WalkedMp3WindowsAreTheReadOnes) {
    TempDir dir;
    const std::string wav = dir.file("src.wav"), mp3 = dir.file("src.mp3");
    test::write_wav(wav, 44100, 2, test::music(44100, 2, 20.0));
    ASSERT_TRUE(test::ffmpeg_convert(wav, mp3, "-b:a 128k"));
    const std::string clean = test::read_file(mp3);
    const struct {
        const char* name;
        std::string bytes;
        bool walks;  // reads at most three quarters of the packets
    } cases[] = {
        {"junk in the middle", std::string(clean).insert(clean.size() / 2, 999, 'j'), false},
        {"bytes changed in the middle", std::string(clean).replace(clean.size() / 3, 4, "\xff\xff\xff\xff"), false},
        {"a cut last frame", clean.substr(0, clean.size() - 100), true},
    };
    for (const auto& c : cases) {
        test::write_file(mp3, c.bytes);
        const Opened far = open_stream(mp3), near = open_stream(mp3);
        ASSERT_NE(far.stream, nullptr) << c.name;
        ASSERT_NE(near.stream, nullptr) << c.name;
        const std::int64_t frames = static_cast<std::int64_t>(far.stream->length_bytes() / 4);
        // `near` reads every packet: its windows are never far enough apart
        // for a walk, but too far apart for one decoder run to span them
        // (a run through damage gives other frames than a fresh start).
        std::int64_t read_to = 0;
        for (const std::int64_t frame : {frames / 20, frames * 3 / 10, frames * 62 / 100, frames * 95 / 100, frames - 3000}) {
            SCOPED_TRACE(std::string(c.name) + ", frame " + std::to_string(frame));
            Spectrum want{}, got{};
            // Damaged stretches fail their windows' reads; the spectra are
            // still compared.
            for (; read_to < frame; read_to += 12000) {
                ASSERT_TRUE(near.stream->seek(static_cast<std::uint64_t>(read_to) * 4));
                static_cast<void>(near.stream->read_spectrum(want));
            }
            ASSERT_TRUE(near.stream->seek(static_cast<std::uint64_t>(frame) * 4));
            const bool near_read = static_cast<bool>(near.stream->read_spectrum(want));
            ASSERT_TRUE(far.stream->seek(static_cast<std::uint64_t>(frame) * 4));
            EXPECT_EQ(static_cast<bool>(far.stream->read_spectrum(got)), near_read);
            EXPECT_EQ(got, want);
        }
        if (c.walks) {
            EXPECT_LT(far.stream->packets_read(), near.stream->packets_read() * 3 / 4) << c.name;
        }
    }
}

// Columns far apart leave most of the file's packets undecoded; a codec we
// do not know is decoded whole.
TEST(AudioStream, DecodesOnlyWhatTheWindowsNeed) {
    TempDir dir;
    const std::string wav = dir.file("src.wav");
    test::write_wav(wav, 44100, 2, test::music(44100, 2, 20.0));
    const struct {
        const char* file;
        const char* args;
        double most;  // largest share of packets decoded
    } cases[] = {{"a.mp3", "-b:a 192k", 0.4}, {"a.ogg", "-c:a libvorbis", 0.4}, {"a.flac", "", 0.4}, {"a.m4a", "-c:a aac", 1.0}};
    for (const auto& c : cases) {
        ASSERT_TRUE(test::ffmpeg_convert(wav, dir.file(c.file), c.args));
        const Opened o = open_stream(dir.file(c.file)), all = open_stream(dir.file(c.file));
        ASSERT_NE(o.stream, nullptr);
        ASSERT_NE(all.stream, nullptr);
        Spectrum out{};
        for (std::uint64_t frame = 0; frame < 20 * 44100; frame += 26460) {
            ASSERT_TRUE(o.stream->seek(frame * 4));
            ASSERT_TRUE(o.stream->read_spectrum(out));
        }
        // Every packet of the file: a window past the end reads them all.
        ASSERT_TRUE(all.stream->seek(21 * 44100 * 4));
        ASSERT_TRUE(all.stream->read_spectrum(out));
        const double share =
            static_cast<double>(o.stream->packets_decoded()) / static_cast<double>(all.stream->packets_read());
        EXPECT_LE(share, c.most) << c.file;
        if (c.most == 1.0) {
            EXPECT_EQ(o.stream->packets_decoded(), o.stream->packets_read()) << c.file;
        }
    }
}

// Every demuxer reads the descriptor opened first: a backward seek reopens
// the demuxer, and still reads the file that was opened when the path now
// names another file, or nothing at all.
TEST(AudioStream, BackwardSeekReadsTheFileFirstOpened) {
    TempDir dir;
    const std::string path = dir.file("a.wav");
    test::write_wav(path, 44100, 1, test::sine(44100, 1, 1.0, 1000));
    const Opened opened = open_stream(path);
    const auto& s = opened.stream;
    ASSERT_NE(s, nullptr) << opened.status.message;
    Spectrum first{}, again{};
    ASSERT_TRUE(s->read_spectrum(first));
    ASSERT_TRUE(s->seek(40000 * 2));
    ASSERT_TRUE(s->read_spectrum(again));
    ASSERT_EQ(std::remove(path.c_str()), 0);
    test::write_wav(path, 44100, 1, test::silence(44100, 1, 1.0));
    ASSERT_TRUE(s->seek(0));
    ASSERT_TRUE(s->read_spectrum(again));
    EXPECT_EQ(again, first);
}

// ---- The FLAC frame search and damaged frames -----------------------------

struct FlacCase {
    const char* name;
    int rate, channels;
    double seconds;
    std::string args;
    std::function<std::string(std::string)> edit;  // of the FLAC file
    bool damaged;
};

// FLAC windows reached by the frame search are the frames of a full decode,
// and exactly what the demuxer gives where the search is refused from the
// start (STREAMINFO's least block size over its largest, or a damaged file's
// first CRC-16, neither of which the decoder checks): damaged files, whose
// frames the search hands back to the demuxer, included. There, frames
// after a lost one stay where their headers' numbers put them, so a
// reader that jumped over the damage sees what one that read through does.
TEST(AudioStream, FlacFramesFoundMatchTheDemuxer) {
    TempDir shared;
    const std::string cover = shared.file("cover.ppm");
    test::write_file(cover, "P6\n8 8\n255\n" + std::string(192, '\x7f'));
    // An ID3v2.4 tag of 300 bytes of padding.
    const auto id3 = [](std::string b) { return std::string("ID3\x04\0\0\0\0\x02\x2c", 10) + std::string(300, '\0') + b; };
    const auto damage = [](std::string b) {
        // A lost header (of 576 frames at 8 kHz, mono, 16 bits; replace()
        // throws if there is none), then damaged frame data.
        b.replace(b.find("\xff\xf8\x24\x08", b.size() * 7 / 10), 2, std::string("\xff\0", 2));
        for (std::size_t i = b.size() * 85 / 100; i < b.size() * 85 / 100 + 3000; i += 97) b[i] = static_cast<char>(b[i] ^ 0x5a);
        return b;
    };
    const FlacCase cases[] = {
        {"stereo_16bit", 44100, 2, 30.0, "", nullptr, false},
        {"24bit_96k", 96000, 2, 8.0, "-sample_fmt s32", nullptr, false},
        {"mono_8k", 8000, 1, 60.0, "", nullptr, false},
        {"six_channels", 48000, 6, 8.0, "", nullptr, false},
        {"block_1152", 44100, 2, 20.0, "-frame_size 1152", nullptr, false},
        {"id3_picture_padding", 44100, 2, 10.0,
         "-i " + cover + " -map 0:a -map 1:v -c:v png -disposition:v attached_pic", id3, false},
        {"damaged", 8000, 1, 120.0, "", damage, true},
    };
    for (const FlacCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = make_source(dir, c.rate, c.channels, c.seconds, "flac", c.args);
        const std::string twin = dir.file("twin.flac");
        ASSERT_FALSE(path.empty());
        if (c.edit) edit_file(path, c.edit);
        std::string bytes = test::read_file(path);
        if (c.damaged) {
            // The first frame ends where a header like its own (but for
            // the number) begins; the last byte of its CRC-16 flipped.
            std::size_t first = 4;
            for (bool last = false; !last; first += 4 + read_be24(bytes, first + 1)) last = bytes.at(first) & 0x80;
            bytes.at(bytes.find(bytes.substr(first, 4), first + 16) - 1) ^= 0x01;
        } else {
            bytes.at(bytes.find("fLaC") + 9) ^= 0x01;
        }
        test::write_file(twin, bytes);
        const auto pcm = c.damaged ? std::vector<std::int16_t>{} : full_decode(path, dir);
        const Opened o = open_stream(path), t = open_stream(twin);
        ASSERT_TRUE(o.stream && t.stream) << o.status.message << t.status.message;
        const int channels = c.channels;
        const auto frames = static_cast<std::int64_t>(o.stream->length_bytes() / (2ULL * channels));
        // Overlapping windows, steps of a few seconds and of a column, a
        // step back and the end.
        std::vector<std::int64_t> positions;
        for (std::int64_t f = 0; f < 12000; f += 1024) positions.push_back(f);
        for (std::int64_t f = 5; f < frames; f += c.rate * 3) positions.push_back(f);
        for (std::int64_t f = 11; f < frames; f += c.rate * 6 / 10) positions.push_back(f);
        for (std::int64_t f : {frames - 100, std::int64_t{7}, frames / 2, frames + 10}) positions.push_back(f);
        for (std::int64_t frame : positions) {
            const std::uint64_t pos = static_cast<std::uint64_t>(frame) * 2 * channels;
            Spectrum got{}, demuxed{};
            ASSERT_TRUE(o.stream->seek(pos) && t.stream->seek(pos));
            const Status read = o.stream->read_spectrum(got), twin_read = t.stream->read_spectrum(demuxed);
            ASSERT_EQ(read.code, twin_read.code) << "frame " << frame;
            ASSERT_EQ(got, demuxed) << "frame " << frame;
            if (c.damaged) continue;
            ASSERT_TRUE(matches_full_decode(got, pcm, channels, frame));
        }
        // The search passed over the frames between columns; the demuxer read them.
        EXPECT_TRUE(c.damaged || o.stream->packets_read() < t.stream->packets_read());
    }
}

// Damaged frames in the middle of a FLAC file: the windows over them are
// still filled (the damage left out), and the failure is reported with
// FFmpeg's words instead of being swallowed.
TEST(AudioStream, DecoderFailuresAreReported) {
    TempDir dir;
    const std::string path = make_source(dir, 44100, 1, 4.0, "flac");
    ASSERT_FALSE(path.empty());
    std::string bytes = test::read_file(path);
    for (std::size_t i = bytes.size() / 3; i < bytes.size() / 2; i += 97) bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
    test::write_file(path, bytes);

    const Opened opened = open_stream(path);
    const auto& s = opened.stream;
    ASSERT_NE(s, nullptr) << opened.status.message;
    int failures = 0;
    Spectrum out{};
    for (std::uint64_t frame = 0; frame < 4 * 44100; frame += 2048) {
        ASSERT_TRUE(s->seek(frame * 2));
        const Status read = s->read_spectrum(out);
        if (read) continue;
        ++failures;
        EXPECT_EQ(read.code, kErrorDecode) << read.message;
        EXPECT_FALSE(read.message.empty());
    }
    EXPECT_GT(failures, 0);
}

// ---- Stretches and levels -------------------------------------------------

// A stretch read whole is the bin-wise maximum of the single windows at its
// hops, for each channel group.
TEST(AudioStream, StretchIsTheMaximumOfItsWindows) {
    TempDir dir;
    ASSERT_TRUE(write_wav_and_flac(dir, test::music(8000, 2, 1.5)));  // 12000 frames
    const std::vector<ChannelGroup> mix{{}}, split{{0, 1}, {1, 1}};
    const struct {
        std::uint64_t begin, end;  // frames
        std::vector<std::uint64_t> windows;
    } stretches[] = {{0, 1, {0}}, {0, 4800, {0, 1024, 2048, 3072, 4096}}, {4800, 5000, {4800}},
                     {7000, 9000, {7000, 8024}}, {10000, UINT64_MAX / 4, {10000, 11024}}};
    for (const char* file : {"a.wav", "a.flac"})
        for (const auto* groups : {&mix, &split}) {
            const Opened whole_opened = open_stream(dir.file(file)), single_opened = open_stream(dir.file(file));
            const auto &whole = whole_opened.stream, &single = single_opened.stream;
            ASSERT_TRUE(whole && single && whole->set_channel_groups(*groups) && single->set_channel_groups(*groups));
            std::vector<float> got(kSpectrumBins * groups->size()), want(got.size()), one(got.size());
            for (const auto& st : stretches) {
                ASSERT_TRUE(whole->read_max_spectra(st.begin * 4, st.end * 4, got));
                std::fill(want.begin(), want.end(), 0.0f);
                for (std::uint64_t w : st.windows) {
                    ASSERT_TRUE(single->seek(w * 4) && single->read_spectra(one));
                    for (std::size_t k = 0; k < want.size(); ++k) want[k] = std::max(want[k], one[k]);
                }
                EXPECT_EQ(got, want) << file << " " << groups->size() << " groups from " << st.begin;
            }
        }
}

// A read's levels are those of every channel (never the mix) of the frames
// it counts, each once: stretches that tile the file add up to the file's
// own levels, and a single window stops where it is told or where the
// stream ends.
TEST(AudioStream, LevelsCountEachFrameOnceOnEveryChannel) {
    TempDir dir;
    test::Samples pcm = test::music(8000, 2, 1.5);  // 12000 frames
    for (std::size_t f = 0; f < 12000; ++f) {
        if (f >= 3000 && f < 3100) pcm[2 * f] = f % 2 ? 32767 : -32768;
        if (f >= 3100 && f < 3200) pcm[2 * f] = f % 2 ? 32766 : -32766;  // a step short of full scale
        pcm[2 * f + 1] = static_cast<std::int16_t>(-std::max<int>(pcm[2 * f], -32767));  // the mix is silent
    }
    const auto direct = [&](std::uint64_t from, std::uint64_t to) {
        Levels l;
        for (std::uint64_t i = 2 * from; i < 2 * std::min<std::uint64_t>(to, 12000); ++i) {
            const int a = std::abs(int{pcm[i]});
            l.peak = std::max(l.peak, a);
            l.clipped += a >= Levels::kClippedSample;
            l.sum_squares += a * static_cast<double>(a) / (32768.0 * 32768.0);
            ++l.samples;
        }
        return l;
    };
    const auto expect_levels = [](const Levels& got, const Levels& want) {
        EXPECT_EQ(got.peak, want.peak);
        EXPECT_EQ(got.clipped, want.clipped);
        EXPECT_EQ(got.samples, want.samples);
        EXPECT_NEAR(got.sum_squares, want.sum_squares, 1e-9 * want.sum_squares);
    };
    ASSERT_TRUE(write_wav_and_flac(dir, pcm));
    const std::uint64_t bounds[] = {0, 1, 1500, 1501, 3050, 4800, 9000, UINT64_MAX / 4};
    for (const char* file : {"a.wav", "a.flac"}) {
        SCOPED_TRACE(file);
        const Opened opened = open_stream(dir.file(file));
        const auto& s = opened.stream;
        ASSERT_TRUE(s) << opened.status.message;
        std::vector<float> out(kSpectrumBins);
        Levels whole;
        for (std::size_t b = 0; b + 1 < std::size(bounds); ++b) {
            Levels stretch;
            ASSERT_TRUE(s->read_max_spectra(bounds[b] * 4, bounds[b + 1] * 4, out, &stretch));
            expect_levels(stretch, direct(bounds[b], bounds[b + 1]));
            whole.add(stretch);
        }
        expect_levels(whole, direct(0, 12000));
        EXPECT_EQ(whole.clipped, 200u);  // both channels of 100 frames
        const struct {
            std::uint64_t at, end;  // frames
        } windows[] = {{2900, 3000}, {2900, UINT64_MAX / 4}, {11000, UINT64_MAX / 4}};
        for (const auto& w : windows) {
            Levels one;
            ASSERT_TRUE(s->seek(w.at * 4) && s->read_spectra(out, &one, w.end * 4));
            expect_levels(one, direct(w.at, std::min(w.end, w.at + kWindowFrames)));
        }
    }
}

}  // namespace
}  // namespace tolvek::audio
