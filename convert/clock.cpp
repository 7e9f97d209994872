#include "convert/clock.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "audio/audio.h"

namespace tolvek::convert {
namespace {


// `n` digits from `text` at `pos`, or -1.
int digits(std::string_view text, std::size_t pos, std::size_t n) {
    if (pos + n > text.size()) return -1;
    int v = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        v = v * 10 + (text[i] - '0');
    }
    return v;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int days_in(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

std::optional<ClockStart> make(int y, int mo, int d, int h, int mi, double s, std::string zone = {}) {
    if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > days_in(y, mo) || h < 0 || h > 23 || mi < 0 || mi > 59 ||
        !(s >= 0.0 && s < 60.0))
        return std::nullopt;
    return ClockStart{y, mo, d, h * 3600.0 + mi * 60.0 + s, std::move(zone)};
}

// "Z", "+hh:mm", "+hhmm" or "+hh"; nothing for anything else.
std::optional<std::string> parse_zone(std::string_view z) {
    if (z.empty()) return std::string();
    if (z == "Z") return std::string("UTC");
    if (z[0] != '+' && z[0] != '-') return std::nullopt;
    const int h = digits(z, 1, 2);
    int m = 0;
    if (z.size() == 6 && z[3] == ':') m = digits(z, 4, 2);
    else if (z.size() == 5) m = digits(z, 3, 2);
    else if (z.size() != 3) return std::nullopt;
    if (h < 0 || h > 14 || m < 0 || m > 59) return std::nullopt;
    char text[8];
    std::snprintf(text, sizeof text, "%c%02d:%02d", z[0], h, m);
    return std::string(text);
}

std::string two(int v) {
    char t[8];
    std::snprintf(t, sizeof t, "%02d", v);
    return t;
}

std::string date_text(const ClockStart& c) {
    char t[32];
    std::snprintf(t, sizeof t, "%04d-%02d-%02d", c.year, c.month, c.day);
    return t;
}

std::string time_text(double seconds, bool with_seconds) {
    const auto s = static_cast<long long>(std::floor(seconds));
    const long long day_s = ((s % 86400) + 86400) % 86400;
    std::string text = two(static_cast<int>(day_s / 3600)) + ":" + two(static_cast<int>(day_s / 60 % 60));
    return with_seconds ? text + ":" + two(static_cast<int>(day_s % 60)) : text;
}

}  // namespace

std::optional<ClockStart> parse_iso_time(std::string_view t) {
    if (t.size() < 16 || t[4] != '-' || t[7] != '-' || (t[10] != 'T' && t[10] != ' ') || t[13] != ':') return std::nullopt;
    std::size_t pos = 16;
    double s = 0.0;
    if (pos < t.size() && t[pos] == ':') {
        const int whole = digits(t, pos + 1, 2);
        if (whole < 0) return std::nullopt;
        s = whole;
        pos += 3;
        if (pos < t.size() && t[pos] == '.') {
            double scale = 0.1;
            for (++pos; pos < t.size() && t[pos] >= '0' && t[pos] <= '9'; ++pos, scale /= 10) s += (t[pos] - '0') * scale;
        }
    }
    const std::optional<std::string> zone = parse_zone(t.substr(pos));
    if (!zone) return std::nullopt;
    return make(digits(t, 0, 4), digits(t, 5, 2), digits(t, 8, 2), digits(t, 11, 2), digits(t, 14, 2), s, *zone);
}

std::optional<ClockStart> clock_from_name(std::string_view path) {
    const std::string name = std::filesystem::path(path).filename().string();
    for (std::size_t i = 0; i + 15 <= name.size(); ++i) {
        if (name[i + 8] != '_' && name[i + 8] != '-') continue;
        // Not part of a longer run of digits.
        if ((i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1]))) ||
            (i + 15 < name.size() && std::isdigit(static_cast<unsigned char>(name[i + 15]))))
            continue;
        const int y = digits(name, i, 4), mo = digits(name, i + 4, 2), d = digits(name, i + 6, 2);
        const int h = digits(name, i + 9, 2), mi = digits(name, i + 11, 2), s = digits(name, i + 13, 2);
        if (y < 0 || mo < 0 || d < 0 || h < 0 || mi < 0 || s < 0) continue;
        if (auto c = make(y, mo, d, h, mi, s)) return c;
    }
    return std::nullopt;
}

namespace {

// A Broadcast WAV's origination date and time as the demuxer gives them:
// "date" and a bare "creation_time" (hh:mm:ss), or one ISO creation_time;
// the bext chunk allows any separator. The recorder's clock: no zone.
std::optional<ClockStart> bext_start(const audio::Stream& stream) {
    const std::optional<std::string> date = stream.tag("date"), time = stream.tag("creation_time");
    if (!stream.tag("time_reference") || !time) return std::nullopt;
    std::string iso = date && date->size() == 10 && time->size() == 8 ? *date + "T" + *time : time->substr(0, 19);
    if (iso.size() != 19) return std::nullopt;
    iso[4] = iso[7] = '-';
    iso[13] = iso[16] = ':';
    std::optional<ClockStart> c = parse_iso_time(iso);
    if (c) c->zone.clear();
    return c;
}

}  // namespace

std::optional<ClockStart> recorded_start(const audio::Stream& stream, const std::string& path) {
    if (std::optional<ClockStart> c = bext_start(stream)) return c;
    if (const std::optional<std::string> created = stream.tag("creation_time"))
        if (auto c = parse_iso_time(*created); c && c->zone == "UTC") return c;
    return clock_from_name(path);
}

std::string iso_text(const ClockStart& c) {
    const std::string zone = c.zone == "UTC" ? "Z" : c.zone;
    return date_text(c) + "T" + time_text(c.seconds, true) + zone;
}

std::string title_clock_text(const ClockStart& c) {
    return date_text(c) + " " + time_text(c.seconds, true) + (c.zone.empty() ? "" : " " + c.zone);
}

std::string clock_label(const ClockStart& c, double offset_s, bool with_seconds) {
    return time_text(c.seconds + offset_s, with_seconds);
}

}  // namespace tolvek::convert
