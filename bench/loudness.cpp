// What EBU R128 loudness (integrated, range and true peak through
// libebur128) costs a full run: the meter alone over every frame of FILE,
// against a whole conversion of it with coverage full (which includes it).
//   tolvek_loudness FILE
#include <ebur128.h>

#include <chrono>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "convert/convert.h"
#include "convert/loudness.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

// Keeps every frame the stream hands over.
struct Collect final : tolvek::audio::FrameSink {
    std::vector<float> samples;
    void frames(std::span<const float> interleaved) override { samples.insert(samples.end(), interleaved.begin(), interleaved.end()); }
    void restart() override { samples.clear(); }
};

struct NoLog final : tolvek::convert::Log {
    void line(std::string_view) override {}
    void error(std::string_view) override {}
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tolvek_loudness FILE\n");
        return 2;
    }
    tolvek::Status opened;
    auto stream = tolvek::audio::Stream::open(argv[1], opened);
    if (!stream) {
        std::fprintf(stderr, "tolvek_loudness: %s: %s\n", argv[1], opened.message.c_str());
        return 1;
    }
    const auto info = stream->info();
    Collect all;
    stream->follow_whole(&all);
    stream->finish_whole();
    std::vector<std::string> names;
    for (std::uint32_t c = 0; c < info.channels; ++c) names.push_back(stream->channel_name(c));
    const double seconds = static_cast<double>(all.samples.size()) / info.channels / info.rate;

    constexpr std::size_t kBlockFrames = 4096;  // about what a decoded frame holds
    const Clock::time_point metering = Clock::now();
    tolvek::convert::LoudnessMeter meter(info.rate, names);
    const std::span<const float> samples(all.samples);
    for (std::size_t at = 0; at < samples.size(); at += kBlockFrames * info.channels)
        meter.frames(samples.subspan(at, std::min(kBlockFrames * info.channels, samples.size() - at)));
    const tolvek::convert::Loudness loudness = meter.result();
    const double meter_ms = ms_since(metering);

    // The same frames through libebur128 without true peak: what its 4x
    // oversampling costs of the whole.
    const Clock::time_point plain = Clock::now();
    ebur128_state* no_peak = ebur128_init(info.channels, info.rate, EBUR128_MODE_I | EBUR128_MODE_LRA);
    for (std::size_t at = 0; no_peak && at < samples.size(); at += kBlockFrames * info.channels)
        ebur128_add_frames_float(no_peak, samples.data() + at, std::min(kBlockFrames * info.channels, samples.size() - at) / info.channels);
    double ignored = 0.0;
    if (no_peak) ebur128_loudness_range(no_peak, &ignored), ebur128_destroy(&no_peak);
    const double no_peak_ms = ms_since(plain);

    auto palette = tolvek::palette::Colours{};
    tolvek::convert::Options options;
    options.palette = &palette;
    options.coverage = tolvek::convert::Coverage::Full;
    options.local = true;
    NoLog log;
    const Clock::time_point converting = Clock::now();
    const auto result = tolvek::convert::convert_file(argv[1], std::string("/tmp/tolvek-loudness-bench"), options, log);
    const double convert_ms = ms_since(converting);
    std::remove(result.picture.c_str());

    std::printf("%s: %.1f s, %u Hz, %u channels; %.2f LUFS, LRA %.2f LU, TP %.2f dBTP\n", argv[1], seconds, info.rate,
                info.channels, loudness.integrated_lufs.value_or(0), loudness.range_lu.value_or(0),
                loudness.true_peak_dbtp.value_or(0));
    std::printf("meter alone: %.0f ms (%.0fx real time); full conversion with it: %.0f ms; meter share %.0f %%\n", meter_ms,
                seconds * 1000.0 / meter_ms, convert_ms, 100.0 * meter_ms / convert_ms);
    std::printf("integrated and range without true peak: %.0f ms (%.0fx real time)\n", no_peak_ms,
                seconds * 1000.0 / no_peak_ms);
    return 0;
}
