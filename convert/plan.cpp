// The arithmetic of a conversion: column plan, levels and the report label.
#include <cmath>
#include <cstdio>

#include "convert/plan.h"

namespace tolvek::convert {

std::string channel_text(std::uint32_t channels) {
    if (channels == 1) return "Mono";
    if (channels == 2) return "Stereo";
    return std::to_string(channels) + " channels";
}

double average_bitrate_kbps(std::uint32_t declared_kbps, std::uint64_t size_bytes, double seconds) {
    if (declared_kbps > 0) return declared_kbps;
    if (!(seconds > 0.0) || !std::isfinite(seconds)) return 0.0;
    const double kbps = static_cast<double>(size_bytes) * 8.0 / seconds / 1000.0;
    return kbps >= 0.5 ? std::round(kbps) : std::round(kbps * 1000.0) / 1000.0;
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
    while (pos < name.size() && chars < kLabelNameChars) {
        pos += utf8_char_length(name, pos);
        ++chars;
    }
    return name.substr(0, pos) + std::string(static_cast<std::size_t>(kLabelWidth - chars), ' ');
}

ColumnPlan plan_columns(std::uint64_t length, float seconds) {
    ColumnPlan p;
    if (seconds > 0.0f) {
        const float raw = seconds / kSecondsPerColumn;
        p.count = raw >= static_cast<float>(kMaxColumns) ? kMaxColumns
                  : raw < static_cast<float>(kMinColumns) ? kMinColumns
                                                          : static_cast<int>(raw);
        p.step = length / static_cast<std::uint64_t>(p.count);
        return p;
    }
    const std::uint64_t raw = length / kBytesPerColumnWithoutDuration;
    if (raw >= kMinColumns && raw <= kMaxColumns) {
        p.count = static_cast<int>(raw);
        p.step = kBytesPerColumnWithoutDuration;
    } else {
        p.count = raw < kMinColumns ? kMinColumns : kMaxColumns;
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

LevelMap::LevelMap() : LevelMap(level_of) {}

LevelMap::LevelMap(const std::function<std::uint8_t(float)>& level_of) {
    // The level never falls as the magnitude grows, so each level's
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
