// One audio file in, one spectrogram picture out: measure, plan, paint, save.
#include <algorithm>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <cctype>
#include <cinttypes>
#include <filesystem>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "audio/formats.h"
#include "convert/convert.h"
#include "convert/coverage.h"
#include "convert/frame.h"
#include "convert/loudness.h"
#include "convert/npz.h"
#include "convert/painter.h"
#include "convert/plan.h"
#include "convert/stamp.h"
#include "convert/verdicts.h"

namespace tolvek::convert {
namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string format_text(const char* format, auto... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<std::size_t>(n < 0 ? 0 : n) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, args...);
    text.pop_back();
    return text;
}

// What the file is, measured without decoding it.
struct Facts {
    std::uint64_t length = 0;  // bytes of 16-bit PCM
    float seconds = 0.0f;
    audio::StreamInfo info;
    std::uint64_t size = 0;
};

Facts measure(const audio::Stream& stream) {
    Facts f;
    f.length = stream.length_bytes();
    f.seconds = stream.bytes_to_seconds(f.length);
    f.info = stream.info();
    f.size = stream.file_size();
    return f;
}

std::string progress_line(const std::string& label, int column, int count) {
    const float pct = static_cast<float>(column + 1) * 100.0f / static_cast<float>(count);
    return format_text("%s [%s%s%.1f%%]\r", label.c_str(), pct < 100.0f ? " " : "", pct < 10.0f ? " " : "",
                       static_cast<double>(pct));
}

// The tables a conversion's settings call for. The classic levels need none
// of their own: the painter keeps one for every conversion.
struct PaneTables {
    std::optional<LevelMap> levels;
    std::optional<RowMap> rows;
};

// The rows of every pane.
FrequencyAxis pane_axis(const Facts& facts, const Options& options) {
    return FrequencyAxis::make(options.scale, facts.info.rate, options.height, options.freq.low_hz,
                               options.freq.high_hz);
}

Pane make_pane(const PaneTables& tables, const Facts& facts, const Stretch& stretch, const ColumnPlan& plan,
               const Options& options, int x0, int y0) {
    Pane pane;
    pane.levels = tables.levels ? &*tables.levels : nullptr;
    pane.rows = tables.rows ? &*tables.rows : nullptr;
    pane.height = options.height;
    pane.x0 = x0;
    pane.y0 = y0;
    if (options.grid) {
        // dt and bin exactly as the unframed linear picture has always had them.
        const float dt = stretch.seconds * 500.0f / static_cast<float>(plan.count);
        const float bin = static_cast<float>(facts.info.rate) * 0.5f / static_cast<float>(audio::kSpectrumBins);
        const FrequencyAxis axis = pane_axis(facts, options);
        if (options.scale == Scale::Linear && options.height == kRows && options.freq.whole())
            pane.grid.emplace(dt, bin);
        else
            pane.grid.emplace(dt, grid_rows(axis));
        pane.grid->start_at(static_cast<float>(stretch.start_s * 500.0));
    }
    return pane;
}

// Column i's magnitudes, a spectrum per pane: one window at its start (sampled),
// or the maximum over its stretch up to the next column's start, the last
// column's up to the end (full). The column's levels are those of the
// frames it analysed up to the next column's start, so that no frame counts
// in two columns (a short file's sampled windows overlap).
Status read_column(audio::Stream& stream, const ColumnPlan& plan, int i, Coverage coverage, std::span<float> out,
                   audio::Levels& levels) {
    const std::uint64_t pos = plan.origin + static_cast<std::uint64_t>(i) * plan.step;
    const std::uint64_t next = i + 1 < plan.count ? pos + plan.step : plan.end;
    if (coverage == Coverage::Full) return stream.read_max_spectra(pos, next, out, &levels);
    Status read = stream.seek(pos);
    if (read) read = stream.read_spectra(out, &levels, next);
    return read;
}

// Column spectra in column order. With more than one thread, the columns
// are cut into contiguous ranges: the caller reads the first range itself
// as it paints, and each other range is read ahead by a thread of its own
// over a sibling stream of the same file. A column's spectra are the same
// whichever reader reads it, so the picture and the lines do not change.
class ColumnReader {
public:
    ColumnReader(audio::Stream& stream, const ColumnPlan& plan, Coverage coverage, std::size_t bins, int threads)
        : stream_(stream), plan_(plan), coverage_(coverage), bins_(bins) {
        // Sampled pictures are split too, where decoding dominates them: a
        // sibling passes over the packets before its range without decoding
        // them (by a seek or a walk where that lands exactly), so each thread
        // saves about its share of the decoding. Plain samples (WAV) cost
        // too little to read for a second reader to pay.
        const bool worth_it = coverage == Coverage::Full || !stream.stores_plain_samples();
        const int ranges = std::clamp(worth_it ? threads : 1, 1, std::max(1, plan.count / kMinColumnsPerThread));
        first_end_ = plan.count;
        if (ranges > 1) start_readers(ranges);
    }
    ~ColumnReader() { join(); }
    // Once every column is read: the bits of the samples every reader decoded.
    audio::SampleBits sample_bits() {
        join();
        audio::SampleBits bits = stream_.sample_bits();
        bits.add(sibling_bits_);
        return bits;
    }
    ColumnReader(const ColumnReader&) = delete;
    ColumnReader& operator=(const ColumnReader&) = delete;

    // Column i's magnitudes, a spectrum per pane, its levels, and how they were
    // read; i runs from 0 up, one at a time.
    Status next(int i, std::span<float> out, audio::Levels& levels) {
        if (i < first_end_) return read_one(stream_, i, out, levels);
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return slots_[static_cast<std::size_t>(i)].ready; });
        Slot& slot = slots_[static_cast<std::size_t>(i)];
        std::copy(slot.bins.begin(), slot.bins.end(), out.begin());
        std::vector<float>().swap(slot.bins);
        levels = slot.levels;
        return std::move(slot.status);
    }

    // Once every column is read: the first fault any reader found, the
    // stream's end checked by the reader of the last columns.
    std::optional<audio::Damage> damage() {
        join();
        if (readers_.empty() || read_range_later_.first > 0) stream_.check_end();
        return audio::earlier(stream_.damage(), found_);
    }

private:
    // Fewer columns than this per thread are not worth a second decoder.
    static constexpr int kMinColumnsPerThread = 50;

    struct Slot {
        std::vector<float> bins;
        audio::Levels levels;
        Status status;
        bool ready = false;
    };

    Status read_one(audio::Stream& stream, int i, std::span<float> out, audio::Levels& levels) const {
        // A stretch that could not be reached at all shows as silence.
        std::fill(out.begin(), out.end(), 0.0f);
        levels = {};
        return read_column(stream, plan_, i, coverage_, out, levels);
    }

    void join() {
        for (std::jthread& t : readers_)
            if (t.joinable()) t.join();
    }

    void start_readers(int ranges) {
        std::vector<std::unique_ptr<audio::Stream>> siblings;
        for (int r = 1; r < ranges; ++r) {
            Status opened;
            auto sibling = stream_.sibling(opened);
            if (!sibling) break;  // read by fewer threads
            siblings.push_back(std::move(sibling));
        }
        if (siblings.empty()) return;
        const int count = plan_.count, parts = static_cast<int>(siblings.size()) + 1;
        slots_.resize(static_cast<std::size_t>(count));
        first_end_ = count / parts;
        for (int r = 1; r < parts; ++r) {
            const int from = count * r / parts, to = count * (r + 1) / parts;
            try {
                readers_.emplace_back([this, from, to, s = std::move(siblings[static_cast<std::size_t>(r - 1)])] {
                    read_range(*s, from, to);
                    if (to == plan_.count) s->check_end();
                    std::lock_guard lock(mutex_);
                    found_ = audio::earlier(found_, s->damage());
                });
            } catch (const std::system_error&) {
                read_range_later_ = {from, count};  // this thread reads the rest itself
                break;
            }
        }
        if (read_range_later_.first > 0) first_end_ = count, readers_.clear();
    }

    void read_range(audio::Stream& stream, int from, int to) {
        for (int i = from; i < to; ++i) {
            std::vector<float> bins(bins_);
            audio::Levels levels;
            Status status = read_one(stream, i, bins, levels);
            {
                std::lock_guard lock(mutex_);
                Slot& slot = slots_[static_cast<std::size_t>(i)];
                slot.bins = std::move(bins);
                slot.levels = levels;
                slot.status = std::move(status);
                slot.ready = true;
            }
            ready_.notify_all();
        }
        std::lock_guard lock(mutex_);
        sibling_bits_.add(stream.sample_bits());
    }

    audio::Stream& stream_;
    const ColumnPlan& plan_;
    Coverage coverage_;
    std::size_t bins_;
    int first_end_ = 0;  // columns the caller reads itself
    std::pair<int, int> read_range_later_{0, 0};
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Slot> slots_;
    audio::SampleBits sibling_bits_;  // of the other readers' samples
    std::vector<std::jthread> readers_;
    std::optional<audio::Damage> found_;  // by the other readers
};

// What the conversion measures on the columns as it paints them.
struct Meters {
    analysis::SpectrumMeter spectrum;
    analysis::LevelMeter levels;
    std::optional<audio::Damage> damage;
    std::optional<LoudnessMeter> loudness;  // coverage full: every frame, once, in order
    audio::SampleBits bits;                 // of every reader's samples
};

// Everything measured once the columns are read: spectrum, levels, the
// samples' bits, the checksum, loudness and tags.
void settle_measures(audio::Stream& stream, const Meters& meters, Result& result) {
    result.cutoff = meters.spectrum.cutoff();
    result.upsampled_from_hz = analysis::upsampled_from_hz(result.codec, result.rate, result.cutoff);
    result.peak_dbfs = meters.levels.peak_dbfs();
    if (meters.levels.silence_pct()) result.clipped_samples = meters.levels.clipped_samples();
    result.silence_pct = meters.levels.silence_pct();
    result.md5_ok = stream.finish_whole();
    result.md5_mismatch = result.md5_ok == false;
    // The whole decode for the checksum may meet a fault the columns did not.
    if (const std::optional<audio::Damage> found = audio::earlier(meters.damage, stream.damage()))
        result.damage = damage_from(*found, result.rate);
    else if (result.md5_mismatch)
        result.damage = Damage{std::nullopt, "MD5 mismatch"};
    if (result.damage) result.outcome = Outcome::Damaged;
    if (meters.loudness) {
        const Loudness loudness = meters.loudness->result();
        result.loudness_lufs = loudness.integrated_lufs;
        result.loudness_range_lu = loudness.range_lu;
        result.true_peak_dbtp = loudness.true_peak_dbtp;
    }
    add_sample_facts(meters.bits, stream.tags(), result);
}

// What the spectrum meter takes of one column: the one pane's magnitudes, or,
// with a pane per channel, their power mean, so that content in any channel
// counts (as the mix would show it for channels that agree). The meter
// reads 1024 bins: a longer transform's bins give the strongest of each
// group, a shorter one's are repeated.
std::span<const float> all_panes(std::span<const float> column, std::size_t panes, std::vector<float>& power_mean,
                                 std::vector<float>& out) {
    const std::size_t bins = column.size() / panes;
    std::span<const float> mean = column.first(bins);
    if (panes > 1) {
        for (std::size_t k = 0; k < bins; ++k) {
            double power = 0.0;
            for (std::size_t p = 0; p < panes; ++p) {
                const double m = column[p * bins + k];
                power += m * m;
            }
            power_mean[k] = static_cast<float>(std::sqrt(power / static_cast<double>(panes)));
        }
        mean = power_mean;
    }
    if (bins == audio::kSpectrumBins) return mean;
    for (std::size_t k = 0; k < audio::kSpectrumBins; ++k) {
        const std::size_t from = k * bins / audio::kSpectrumBins, to = std::max(from + 1, (k + 1) * bins / audio::kSpectrumBins);
        out[k] = *std::max_element(mean.begin() + static_cast<std::ptrdiff_t>(from), mean.begin() + static_cast<std::ptrdiff_t>(to));
    }
    return out;
}

// Reads each column's spectra and paints every pane, with a progress line
// after every column that was not a full-height time line. The panes'
// magnitudes come from the same decoded frames.
void paint_columns(audio::Stream& stream, const ColumnPlan& plan, const Options& options,
                   std::vector<Painter>& painters, const std::string& label, Log& log, Meters& meters) {
    const auto bins = static_cast<std::size_t>(stream.spectrum_bins());
    std::vector<float> column(bins * painters.size());
    std::vector<float> power_mean(bins), spectrum(audio::kSpectrumBins);
    audio::Levels levels;
    ColumnReader reader(stream, plan, options.coverage, column.size(), options.threads);
    for (int i = 0; i < plan.count; ++i) {
        const std::uint64_t pos = plan.origin + static_cast<std::uint64_t>(i) * plan.step;
        // A window the decoder could not read whole is still painted as far
        // as it was read (a damaged stretch is left out, as a player would).
        const Status read = reader.next(i, column, levels);
        // Unreadable stretches say nothing about where the spectrum ends.
        if (read) meters.spectrum.add(all_panes(column, painters.size(), power_mean, spectrum));
        // Levels come from every channel of the frames that were decoded; a
        // column with none says nothing about silence.
        if (levels.samples > 0) {
            meters.levels.add(levels);
            meters.levels.end_column();
        }
        if (!read && options.verbose > 1)
            log.error(format_text("Error loading stream chunk %d(at %" PRIu64 ", %" PRIu64 " bytes long). Error: %d\n", i,
                                  pos, plan.step, read.code.value()));
        bool progress = false;
        for (std::size_t p = 0; p < painters.size(); ++p) {
            progress = painters[p].paint(i, std::span<const float>(column).subspan(p * bins, bins)) || progress;
        }
        if (progress) log.line(progress_line(label, i, plan.count));
    }
    meters.damage = reader.damage();
    meters.bits = reader.sample_bits();
}

// The frame's font, or a warning line and none: the frame is then drawn
// without text.
std::unique_ptr<image::Font> frame_font(const std::string& name, Log& log) {
    std::unique_ptr<image::Font> font;
    if (const Status opened = image::Font::open(kFrameTextPx, font); !opened)
        log.error("Warning: " + name + ": " + opened.message + "; the frame is drawn without text\n");
    return font;
}

// Paints the picture, framed or not, one pane per channel group stacked
// from the top, and returns it.
image::Picture paint_picture(audio::Stream& stream, const Facts& facts, const Stretch& stretch,
                             const ColumnPlan& plan, const Options& options, const std::string& name,
                             const std::string& label, Log& log, Meters& meters, SpectrogramData* data,
                             const std::optional<ClockStart>& clock, Result& result) {
    const int panes = static_cast<int>(stream.channel_groups());
    const int rows = options.height * panes;
    const FrameLayout layout = frame_layout(plan.count, rows);
    image::Picture picture = options.frame ? image::Picture(layout.width, layout.height) : image::Picture(plan.count, rows);
    PaneTables tables;
    if (!options.range.classic) tables.levels.emplace(level_map(options.range));
    const FrequencyAxis axis = pane_axis(facts, options);
    if (!rows_are_bins(axis, options.spectrum.frames)) tables.rows.emplace(axis, options.spectrum.frames);
    std::vector<Painter> painters;
    if (data) {
        *data = {panes, options.height, plan.count, {}, {}, {}};
        data->db.resize(static_cast<std::size_t>(panes) * options.height * plan.count);
    }
    for (int p = 0; p < panes; ++p) {
        const int y0 = (options.frame ? layout.data_y0() : 0) + (panes - 1 - p) * options.height;
        Pane pane = make_pane(tables, facts, stretch, plan, options, options.frame ? layout.left : 0, y0);
        if (data) {
            pane.data = data->db.data() + static_cast<std::size_t>(p) * options.height * plan.count;
            pane.columns = plan.count;
        }
        painters.emplace_back(picture, *options.palette, std::move(pane));
    }
    paint_columns(stream, plan, options, painters, label, log, meters);
    settle_measures(stream, meters, result);
    if (options.frame) {
        FrameFacts frame_facts{name, facts.info.rate, facts.info.channels, facts.seconds, facts.size, stream.codec().name,
                               stream.codec().bitrate_kbps, {}, frame_findings(result), stretch.start_s,
                               stretch.seconds, clock};
        if (options.channels == Channels::Split) frame_facts.panes = pane_names(stream, facts.info.channels);
        const std::unique_ptr<image::Font> font = frame_font(name, log);
        draw_frame(picture, layout, frame_facts, {options.scale, options.range, options.palette, options.freq},
                   font.get());
    }
    return picture;
}

// Saves the picture with what it records about how it was made, or says
// why it could not be saved.
void save_picture(const image::Picture& picture, const std::string& path, const Options& options,
                  const std::optional<Stamp>& stamp, const std::string& label, Result& result, Log& log) {
    const Clock::time_point saving = Clock::now();
    image::Metadata metadata;
    if (stamp) {
        add_stamp(*stamp, metadata);
        add_picture_size({picture.width(), picture.height()}, metadata);
    }
    if (options.describe) options.describe(result, metadata);
    const Status saved = result.picture == path ? Status::fail(image::kSaveReplace, "the picture would replace its source")
                                                : picture.save(result.picture, options.format, metadata);
    if (!saved) {
        // The caller says why, from the result.
        log.line(label + ", Save error\n");
        result.outcome = Outcome::SaveError;
        result.error = saved.code;
        result.reason = saved.message;
    }
    result.save_ms = ms_since(saving);
}


// Writes the numbers behind the picture beside it, each column's start and
// each row's frequency with them; false (the result saying why) when they
// cannot be written.
bool save_data(SpectrogramData& data, const Facts& facts, const ColumnPlan& plan, const FrequencyAxis& axis,
               Result& result, Log& log, const std::string& label) {
    const double frame_bytes = facts.info.channels * 2.0;
    for (int i = 0; i < plan.count; ++i)
        data.times_s.push_back(std::floor((plan.origin + static_cast<double>(i) * plan.step) / frame_bytes) /
                               facts.info.rate);
    for (int r = 0; r < axis.rows; ++r) data.freqs_hz.push_back(row_frequency(axis, r));
    const std::string path = data_path(result.picture);
    if (const Status saved = write_npz(path, data); !saved) {
        log.line(label + ", Save error\n");
        result.outcome = Outcome::SaveError;
        result.error = saved.code;
        result.reason = saved.message;
        return false;
    }
    result.data = path;
    return true;
}

// A file the audio layer could not open or read: its outcome from the
// audio layer's error.
void fail(Result& result, const Status& status) {
    result.error = status.code;
    result.reason = status.message;
    // A file named as audio that no demuxer accepts is a damaged one.
    const std::string ending = std::filesystem::path(result.source).extension().string();
    if (status.code == audio::kErrorFormat && ending.size() > 1 && audio::is_audio_extension(ending.substr(1))) {
        std::string shown = ending.substr(1);
        for (char& c : shown) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        result.outcome = Outcome::Unreadable;
        result.reason = "not a valid " + shown + " file";
    } else if (status.code == audio::kErrorFormat || status.code == audio::kErrorNoAudio)
        result.outcome = Outcome::NotAudio;
    else if (status.code == audio::kErrorCodec)
        result.outcome = Outcome::Unsupported;
    else
        result.outcome = Outcome::Unreadable;
}
}  // namespace

std::string picture_path(const std::string& path, const std::optional<std::string>& outpath, const Options& options) {
    const bool jpeg = options.format == image::FileType::Jpeg;
    return (options.local && outpath ? *outpath : path) + (jpeg ? ".jpg" : ".png");
}

Result convert_file(const std::string& path, const std::optional<std::string>& outpath, const Options& options,
                    Log& log) {
    Result result;
    result.source = path;
    const Clock::time_point start = Clock::now();
    // The skip and unsupported lines name the output path; without one,
    // the input path stands in for it.
    const std::string name = log.shown(outpath.value_or(path));
    // Taken before the source is read, so a change while it is read makes
    // the picture out of date.
    Stamp stamp;
    const std::optional<Stamp> stamped =
        stamp_for(path, options, stamp) ? std::optional<Stamp>(stamp) : std::nullopt;

    Status opened;
    std::unique_ptr<audio::Stream> stream = audio::Stream::open(path, opened);
    if (!stream) {
        if (options.verbose > 0) log.line("Skipping " + name + "\n");
        fail(result, opened);
        return result;
    }
    const Facts facts = measure(*stream);
    if (Status grouped = stream->set_channel_groups(pane_groups(facts.info.channels, options.channels)); !grouped) {
        fail(result, grouped);
        return result;
    }
    if (Status shaped = stream->set_spectrum(options.spectrum); !shaped) {
        fail(result, shaped);
        return result;
    }
    result.codec = stream->codec().name;
    result.bitrate_kbps = average_bitrate_kbps(stream->codec().bitrate_kbps, facts.size, facts.seconds);
    result.rate = facts.info.rate;
    result.channels = facts.info.channels;
    result.seconds = facts.seconds;
    result.size_bytes = facts.size;
    result.open_ms = ms_since(start);
    if ((facts.info.type & (audio::kTypeStream | audio::kTypeWav)) == 0) {
        if (options.verbose > 0) log.line(name + " - error. Only streaming or WAV files are supported\n");
        result.outcome = Outcome::Unsupported;
        result.reason = "not a recorded audio stream";
        return result;
    }

    const std::string label =
        display_label(name) + channel_text(facts.info.channels) + statistics_text(facts.info.rate, facts.size, facts.seconds);
    const std::uint32_t frame_bytes = facts.info.channels * 2;
    const std::optional<Stretch> stretch =
        drawn_stretch(options.time, facts.length, facts.seconds, frame_bytes, facts.info.rate);
    if (!stretch) {
        log.error("Warning: " + log.shown(path) + " ends before the time range starts; passed over\n");
        result.outcome = Outcome::BeforeTime;
        result.reason = "it ends before the time range starts";
        return result;
    }
    const ColumnPlan plan = plan_stretch(*stretch, options.width, options.time.whole());
    result.columns = plan.count;
    result.drawn_seconds = stretch->seconds;
    result.coverage_pct = coverage_percent(options.coverage, plan.count, (stretch->end - stretch->begin) / frame_bytes,
                                           options.spectrum.frames);
    const Clock::time_point painting = Clock::now();
    // Only a lossless file is judged for holes (analysis::lossy_origin).
    Meters meters{analysis::SpectrumMeter(facts.info.rate, analysis::is_lossless_codec(result.codec)), {}, {}, {}, {}};
    if (options.coverage == Coverage::Full) {
        std::vector<std::string> names;
        for (std::uint32_t c = 0; c < facts.info.channels; ++c) names.push_back(stream->channel_name(c));
        stream->follow_whole(&meters.loudness.emplace(facts.info.rate, names));
    }
    SpectrogramData data;
    const std::optional<ClockStart> clock = options.start_time ? options.start_time : recorded_start(*stream, path);
    if (clock) result.start_time = iso_text(*clock);
    image::Picture picture = paint_picture(*stream, facts, *stretch, plan, options, name, label, log, meters,
                                           options.data ? &data : nullptr, clock, result);
    picture.set_jpeg_quality(static_cast<std::uint8_t>(std::clamp(options.quality, 10, 100)));
    stream.reset();
    result.paint_ms = ms_since(painting);
    log.line(label + ". Saving file\n");

    result.picture = picture_path(path, outpath, options);
    if (options.data && !save_data(data, facts, plan, pane_axis(facts, options), result, log, label)) return result;
    save_picture(picture, path, options, stamped, label, result, log);
    if (result.outcome != Outcome::SaveError && options.on_picture) options.on_picture(picture);
    return result;
}

}  // namespace tolvek::convert
