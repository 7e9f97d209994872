// One audio file in, one spectrogram picture out: measure, plan, paint, save.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "convert/convert.h"
#include "convert/painter.h"
#include "convert/plan.h"

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

// Reads one spectrum per column and paints it, with a progress line after
// every column that was not a full-height time line.
void paint_columns(audio::Stream& stream, const ColumnPlan& plan, const Facts& facts, const Options& options,
                   const std::string& label, image::Picture& picture, Log& log, analysis::SpectrumMeter& meter) {
    const float dt = facts.seconds * 500.0f / static_cast<float>(plan.count);
    const float bin = static_cast<float>(facts.info.rate) * 0.5f / static_cast<float>(audio::kSpectrumBins);
    Painter painter(picture, options.palette, options.grid, dt, bin);
    std::vector<float> column(audio::kSpectrumBins);
    const std::span<float, audio::kSpectrumBins> magnitudes(column.data(), audio::kSpectrumBins);
    for (int i = 0; i < plan.count; ++i) {
        const std::uint64_t pos = static_cast<std::uint64_t>(i) * plan.step;
        stream.seek(pos);
        if (!stream.read_spectrum(magnitudes)) {
            // An unreadable stretch shows as silence.
            std::fill(column.begin(), column.end(), 0.0f);
            if (options.verbose > 1)
                log.error(format_text("Error loading stream chunk %d(at %" PRIu64 ", %" PRIu64 " bytes long). Error: %d\n",
                                      i, pos, plan.step, audio::last_error()));
        } else {
            meter.add(magnitudes);  // unreadable stretches say nothing about the spectrum
        }
        if (painter.paint(i, magnitudes)) log.line(progress_line(label, i, plan.count));
    }
}

}  // namespace

std::string picture_path(const std::string& path, const std::optional<std::string>& outpath, const Options& options) {
    const bool jpeg = options.format == image::FileType::Jpeg;
    return (options.local && outpath ? *outpath : path) + (jpeg ? ".jpg" : ".png");
}

Result convert_file(const std::string& path, const std::optional<std::string>& outpath, const Options& options,
                    Log& log) {
    Result result;
    const Clock::time_point start = Clock::now();
    // The skip and unsupported lines name the output path; without one,
    // the input path stands in for it.
    const std::string name = log.shown(outpath.value_or(path));

    std::unique_ptr<audio::Stream> stream = audio::Stream::open(path);
    if (!stream) {
        if (options.verbose > 0) log.line("Skipping " + name + "\n");
        result.status = audio::last_error();
        result.reason = audio::last_error_text();
        return result;
    }
    const Facts facts = measure(*stream);
    result.rate = facts.info.rate;
    result.channels = facts.info.channels;
    result.seconds = facts.seconds;
    result.size_bytes = facts.size;
    result.open_ms = ms_since(start);
    if ((facts.info.type & (audio::kTypeStream | audio::kTypeWav)) == 0) {
        if (options.verbose > 0) log.line(name + " - error. Only streaming or WAV files are supported\n");
        result.status = TOLVEK_STATUS_UNSUPPORTED;
        result.reason = "not a recorded audio stream";
        return result;
    }

    const std::string label =
        display_label(name) + channel_text(facts.info.channels) + statistics_text(facts.info.rate, facts.size, facts.seconds);
    const ColumnPlan plan = plan_columns(facts.length, facts.seconds);
    result.columns = plan.count;
    image::Picture picture(plan.count, audio::kSpectrumBins);
    picture.set_jpeg_quality(static_cast<std::uint8_t>(std::clamp(options.quality, 10, 100)));
    const Clock::time_point painting = Clock::now();
    analysis::SpectrumMeter meter(facts.info.rate);
    paint_columns(*stream, plan, facts, options, label, picture, log, meter);
    result.cutoff = meter.cutoff();
    stream.reset();
    result.paint_ms = ms_since(painting);
    log.line(label + ". Saving file\n");

    result.picture = picture_path(path, outpath, options);
    const Clock::time_point saving = Clock::now();
    std::string why = "the picture would replace its source";
    if (result.picture == path || !picture.save(result.picture, options.format, &why)) {
        log.line(label + ", Save error\n");
        if (options.verbose > 0 && !why.empty()) log.error(log.shown(result.picture) + ": " + why + "\n");
        result.status = TOLVEK_STATUS_SAVE_ERROR;
        result.reason = why;
    }
    result.save_ms = ms_since(saving);
    if (result.status == TOLVEK_STATUS_OK && options.on_picture) options.on_picture(picture);
    return result;
}

}  // namespace tolvek::convert
