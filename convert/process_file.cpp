// One audio file in, one spectrogram picture out.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "convert/convert.h"
#include "convert/painter.h"
#include "convert/plan.h"
#include "image/picture.h"

namespace tolvek::convert {
namespace {

void quiet_log(const char*, ...) {}

std::string channel_text(std::uint32_t channels) {
    if (channels == 1) return "Mono";
    if (channels == 2) return "Stereo";
    return std::to_string(channels) + " channels";
}

std::string statistics_text(std::uint32_t rate, std::uint64_t size, float seconds) {
    const double khz = rate / 1000.0;
    const double mib = static_cast<double>(size) / 1024.0 / 1024.0;
    long long kbps = 0;
    if (seconds != 0.0f) kbps = 8 * static_cast<long long>(static_cast<double>(size) / 1024.0 / seconds + 0.5);
    char buf[128];
    std::snprintf(buf, sizeof buf, ", %s%.1f, %s%s%.2fMb, % 5lldkbps", khz < 10 ? " " : "", khz, mib < 100 ? " " : "",
                  mib < 10 ? " " : "", mib, kbps);
    return buf;
}

}  // namespace

std::size_t utf8_char_length(const std::string& s, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(s[pos]);
    std::size_t len = 0;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) len = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) len = 3;
    else if (lead >= 0xF0 && lead <= 0xF4) len = 4;
    else return 1;
    if (pos + len > s.size()) return 1;
    for (std::size_t k = 1; k < len; ++k)
        if ((static_cast<unsigned char>(s[pos + k]) & 0xC0) != 0x80) return 1;
    // Overlong forms, surrogates and code points past U+10FFFF are invalid.
    const auto second = static_cast<unsigned char>(s[pos + 1]);
    if (lead == 0xE0 && second < 0xA0) return 1;
    if (lead == 0xED && second > 0x9F) return 1;
    if (lead == 0xF0 && second < 0x90) return 1;
    if (lead == 0xF4 && second > 0x8F) return 1;
    return len;
}

std::string display_label(const std::string& name) {
    std::size_t pos = 0;
    int chars = 0;
    while (pos < name.size() && chars < 28) {
        pos += utf8_char_length(name, pos);
        ++chars;
    }
    return name.substr(0, pos) + std::string(static_cast<std::size_t>(33 - chars), ' ');
}

ColumnPlan plan_columns(std::uint64_t length, float seconds) {
    ColumnPlan p;
    if (seconds > 0.0f) {
        // 0.15 in single precision, as the plan has always used: exactly
        // 150 s gives 999 columns.
        const float raw = seconds / 0.15f;
        p.count = raw >= 1000.0f ? 1000 : raw < 250.0f ? 250 : static_cast<int>(raw);
        p.step = length / static_cast<std::uint64_t>(p.count);
        return p;
    }
    const std::uint64_t raw = length / 40000;
    if (raw >= 250 && raw <= 1000) {
        p.count = static_cast<int>(raw);
        p.step = 40000;
    } else {
        p.count = raw < 250 ? 250 : 1000;
        p.step = length / static_cast<std::uint64_t>(p.count);
    }
    return p;
}

std::uint8_t level_of(float magnitude) {
    // Not a number (never from real samples) and negative values are silence.
    if (!(magnitude > 0.0f)) return 0;
    const float l = static_cast<float>(std::log(static_cast<double>(magnitude)));
    if (l < -15.0f) return 0;
    if (l > -5.0f) return 255;
    return static_cast<std::uint8_t>((static_cast<double>(l) + 15.0) * 255.0 / 10.0);
}

LevelMap::LevelMap() {
    // level_of() never falls as the magnitude grows, so each level's
    // threshold is found by bisecting the positive floats' bit patterns.
    threshold_[0] = 0.0f;
    for (int level = 1; level < 256; ++level) {
        std::uint32_t lo = 0, hi = 0x7F800000;  // level_of(lo) < level <= level_of(hi)
        while (hi - lo > 1) {
            const std::uint32_t mid = lo + (hi - lo) / 2;
            (level_of(std::bit_cast<float>(mid)) >= level ? hi : lo) = mid;
        }
        threshold_[level] = std::bit_cast<float>(hi);
    }
    for (std::uint32_t key = 0; key < base_.size(); ++key) {
        const float lowest = std::bit_cast<float>(key << 16);
        // Negative numbers are silence; infinities and NaN never come from a
        // spectrum of finite samples.
        base_[key] = (key & 0x8000) || (key & 0x7F80) == 0x7F80 ? 0 : level_of(lowest);
    }
}

}  // namespace tolvek::convert

using namespace tolvek;

extern "C" int _process_file(const char* path, OutputFormat format, int quality, int grid, int local, int verbose,
                             Palette palette, LogFn log, const char* outpath) {
    if (log == nullptr) log = convert::quiet_log;
    if (path == nullptr || palette == nullptr) return audio::kErrorHandle;
    // The skip and unsupported lines name the output path; without one,
    // the input path stands in for it.
    const std::string name = outpath ? outpath : path;

    Status opened;
    auto stream = audio::Stream::open(path, opened);
    if (!stream) {
        if (verbose > 0) log("Skipping %s\n", name.c_str());
        return opened.code;
    }

    const bool jpeg = format == TOLVEK_FORMAT_JPEG;
    const char* extension = jpeg ? "jpg" : "png";
    const image::FileType file_type = jpeg ? image::FileType::Jpeg : image::FileType::Png;

    std::string label = convert::display_label(name);

    const std::uint64_t length = stream->length_bytes();
    const float seconds = stream->bytes_to_seconds(length);
    const audio::StreamInfo info = stream->info();
    const std::uint64_t size = stream->file_size();
    stream.reset();

    if ((info.type & (audio::kTypeStream | audio::kTypeWav)) == 0) {
        if (verbose > 0) log("%s - error. Only streaming or WAV files are supported\n", name.c_str());
        return TOLVEK_STATUS_UNSUPPORTED;
    }
    label += convert::channel_text(info.channels);
    label += convert::statistics_text(info.rate, size, seconds);

    const convert::ColumnPlan plan = convert::plan_columns(length, seconds);
    const int count = plan.count;
    std::vector<float> spectra(static_cast<std::size_t>(count) * audio::kSpectrumBins, 0.0f);
    image::Picture picture(count, audio::kSpectrumBins);
    picture.set_jpeg_quality(static_cast<std::uint8_t>(quality));
    const float dt = seconds * 500.0f / static_cast<float>(count);
    const float bin = static_cast<float>(info.rate) * 0.5f / 1024.0f;

    // A file that opened a moment ago but not now (removed, replaced) gets
    // no picture rather than a blank one.
    stream = audio::Stream::open(path, opened);
    if (!stream) {
        if (verbose > 0) log("Skipping %s\n", name.c_str());
        return opened.code;
    }

    convert::Painter painter(picture, palette, grid != 0, dt, bin);
    for (int i = 0; i < count; ++i) {
        const std::uint64_t pos = static_cast<std::uint64_t>(i) * plan.step;
        std::span<float, audio::kSpectrumBins> column(&spectra[static_cast<std::size_t>(i) * audio::kSpectrumBins],
                                                      audio::kSpectrumBins);
        Status read = stream->seek(pos);
        if (read) read = stream->read_spectrum(column);
        // A damaged stretch is left out of the column, as a player would;
        // a window that cannot be read at all leaves the column silent.
        if (!read && verbose > 1)
            std::fprintf(stderr, "Error loading stream chunk %d(at %" PRIu64 ", %" PRIu64 " bytes long). Error: %d\n", i,
                         pos, plan.step, read.code);
        if (!painter.paint(i, column)) continue;

        const float pct = static_cast<float>(i + 1) * 100.0f / static_cast<float>(count);
        log("%s [%s%s%.1f%%]\r", label.c_str(), pct < 100.0f ? " " : "", pct < 10.0f ? " " : "",
            static_cast<double>(pct));
    }
    stream.reset();
    log("%s. Saving file\n", label.c_str());

    const std::string target = std::string(local && outpath ? outpath : path) + "." + extension;
    std::string why;
    if (target == path || !picture.save(target, file_type, &why)) {
        log("%s, Save error\n", label.c_str());
        if (verbose > 0 && !why.empty()) std::fprintf(stderr, "%s: %s\n", target.c_str(), why.c_str());
        return TOLVEK_STATUS_SAVE_ERROR;
    }
    return TOLVEK_STATUS_OK;
}
