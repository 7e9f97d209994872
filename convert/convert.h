// One audio file in, one spectrogram picture out: the conversion as the
// program and the C interface use it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "convert/analysis.h"
#include "convert/clock.h"
#include "convert/levels.h"
#include "convert/scale.h"
#include "convert/shape.h"
#include "image/picture.h"
#include "palette/palette.h"

namespace tolvek::audio {
struct Damage;
}

namespace tolvek::convert {

// How much of the audio a column's magnitudes come from: one window at the
// column's start (sampled), or every window from its start to the next
// column's, their maximum bin by bin (full: every sample counts).
enum class Coverage { Sampled, Full };
// "sampled" or "full"; empty for anything else.
std::optional<Coverage> parse_coverage(std::string_view text);

// The channels' mean in one pane (mix), or a pane per channel,
// the first at the top (split). Past kMaxPanes channels, the rest are mixed
// into the last pane.
enum class Channels { Mix, Split };
inline constexpr int kMaxPanes = 8;
// "mix" or "split"; empty for anything else.
std::optional<Channels> parse_channels(std::string_view text);

// How a picture is made. Everything that changes its pixels or its file.
struct Options {
    image::FileType format = image::FileType::Png;
    int quality = 75;      // JPEG quality, 10..100
    bool grid = true;      // time and frequency marks
    bool local = false;    // save at the output path instead of beside the source
    int verbose = 0;       // 1: skipped and unsupported files; 2: unreadable stretches
    const palette::Colours* palette = nullptr;
    Range range;                  // how magnitudes become levels; classic by default
    Scale scale = Scale::Linear;  // which frequency each row shows
    bool frame = false;           // axes, title and colour bar in margins around the picture
    // Threads that read this one file's columns (each a decoder of its
    // own over a stretch of the file); the picture and lines are the same.
    int threads = 1;
    Coverage coverage = Coverage::Sampled;
    Channels channels = Channels::Mix;
    int width = 0;                      // columns; 0: from the length (250..1000)
    int height = kRows;                 // rows of each pane
    audio::SpectrumShape spectrum;      // the transform's frames and window
    TimeSpan time;                      // the stretch of the recording drawn
    FrequencySpan freq;                 // the band of frequencies drawn
    bool data = false;                  // also the numbers behind the picture, as .npz beside it
    std::optional<ClockStart> start_time;  // the recording's start as the user gives it
    // More text for the picture's metadata, from what was measured.
    std::function<void(const struct Result&, image::Metadata&)> describe;
    // Opt-in: called with the painted picture once it is saved, on the thread
    // that converted it, so that a run's index need not decode it again.
    std::function<void(const image::Picture&)> on_picture;
};

// Where a file's lines go. Each conversion gets the log of its own file, so
// whoever collects the lines knows which file they belong to.
class Log {
public:
    virtual ~Log() = default;
    // A report, progress or saving line, exactly as it is to be shown.
    virtual void line(std::string_view text) = 0;
    // A diagnostic for standard error (verbose lines of the conversion).
    virtual void error(std::string_view text) = 0;
    // How a name is shown in the lines; the console hides control bytes.
    virtual std::string shown(std::string_view name) const { return std::string(name); }
};

// What became of one file.
enum class Outcome {
    Written,      // its picture was saved
    Damaged,      // its picture was saved, but the audio holds a fault (Result::damage)
    NotAudio,     // no demuxer recognises it, or it holds no audio stream
    Unsupported,  // no decoder for its stream, or not a recorded audio stream
    Unreadable,   // it could not be opened or decoded, or no demuxer accepts a file named as audio
    SaveError,    // its picture could not be written
    BeforeTime,   // it ends before the time range starts: nothing to draw
};

// The first fault found in a file's audio: where it lies, when it lies
// somewhere, and what it is ("corrupt packet", "CRC mismatch",
// "truncated: 0:45 of 1:30 present").
struct Damage {
    std::optional<double> at_s;
    std::string reason;
    bool operator==(const Damage&) const = default;
};

// What became of one file, and what was measured on the way.
struct Result {
    std::string source;                  // the path converted
    Outcome outcome = Outcome::Written;
    std::error_code error;               // the failure behind the outcome, when a layer gave one
    std::string reason;                  // the words behind a failed outcome
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    double seconds = 0.0;
    double drawn_seconds = 0.0;     // the length of the stretch drawn (all of `seconds` without a time range)
    std::optional<Damage> damage;   // the audio read holds a fault; `seconds` is what the file holds
    std::uint64_t size_bytes = 0;
    int columns = 0;
    double coverage_pct = 0.0;      // share of the file's frames the analysed windows covered
    std::string codec;              // the decoder's name: "mp3", "flac", "pcm_s16le"
    double bitrate_kbps = 0.0;      // average_bitrate_kbps(); 0: unknown
    std::string picture;            // the path the picture was (to be) saved at
    std::string data;               // the path of the numbers behind it, when written
    std::string start_time;         // the recording's start (iso_text) when known
    double open_ms = 0.0, paint_ms = 0.0, save_ms = 0.0;
    // Where the spectrum's content ends, over the columns painted; nothing
    // when the file was not painted or its 2-10 kHz band is silent.
    std::optional<analysis::Cutoff> cutoff;
    // Levels of every channel over the frames the columns analysed (see
    // analysis::LevelMeter); nothing when no frame was analysed, and no
    // peak for digital silence.
    std::optional<double> peak_dbfs;
    std::optional<std::uint64_t> clipped_samples;
    std::optional<double> silence_pct;
    // A lower common rate the file was resampled from (see
    // analysis::upsampled_from_hz); nothing otherwise.
    std::optional<std::uint32_t> upsampled_from_hz;
    // The stored samples' width ("16", "24", "32", "float") and the bits of
    // it the samples read use; both empty for a lossy codec.
    std::string bit_depth;
    std::optional<int> effective_bits;
    // With coverage full: a FLAC stream's samples against the MD5 in its
    // STREAMINFO (nothing without one), and the EBU R128 loudness.
    std::optional<bool> md5_ok;
    // The samples decode to something else than the encoder saw: the file
    // is damaged.
    bool md5_mismatch = false;
    std::optional<double> loudness_lufs, loudness_range_lu, true_peak_dbtp;
    std::string artist, album, title;  // the file's tags, UTF-8; empty when absent
};

// The fault the audio layer found, in seconds and words.
Damage damage_from(const audio::Damage& found, std::uint32_t rate);
// "damaged at 0:45 (truncated: 0:45 of 1:30 present)", "damaged (MD5 mismatch)".
std::string damage_text(const Damage& damage);

// Where the picture of `path` goes: beside it, or at `outpath` with `local`.
std::string picture_path(const std::string& path, const std::optional<std::string>& outpath, const Options& options);

// Converts `path`; `outpath` names the file in the lines (and is where the
// picture goes with `local`); without it `path` stands in.
Result convert_file(const std::string& path, const std::optional<std::string>& outpath, const Options& options,
                    Log& log);

}  // namespace tolvek::convert
