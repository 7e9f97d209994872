#include "convert/shape.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

#include "convert/frame.h"
#include "convert/plan.h"

namespace tolvek::convert {
namespace {

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// A plain non-negative decimal number: digits with at most one point.
std::optional<double> parse_decimal(std::string_view text) {
    if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<int> parse_whole(std::string_view text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

// Seconds, or [h:]m:ss with minutes and seconds below 60 after the first field.
std::optional<double> parse_time(std::string_view text) {
    if (text.find_first_of("+-") != std::string_view::npos) return std::nullopt;
    double total = 0.0;
    int fields = 0;
    while (true) {
        const std::size_t colon = text.find(':');
        const std::string_view field = text.substr(0, colon);
        const bool last = colon == std::string_view::npos;
        const std::optional<int> whole = last ? std::nullopt : parse_whole(field);
        const std::optional<double> value = last ? parse_decimal(field) : whole ? std::optional<double>(*whole) : std::nullopt;
        if (!value || ++fields > 3) return std::nullopt;
        const std::size_t whole_digits = std::min(field.find('.'), field.size());
        if (fields > 1 && (whole_digits != 2 || *value >= 60.0)) return std::nullopt;
        total = total * 60.0 + *value;
        if (last) break;
        text.remove_prefix(colon + 1);
    }
    return total <= kMaxTimeSeconds ? std::optional<double>(total) : std::nullopt;
}

std::optional<double> parse_frequency(std::string_view text) {
    const bool kilo = !text.empty() && (text.back() == 'k' || text.back() == 'K');
    if (kilo) text.remove_suffix(1);
    const std::optional<double> value = parse_decimal(text);
    if (!value) return std::nullopt;
    const double hz = *value * (kilo ? 1000.0 : 1.0);
    return hz <= kMaxFrequencyHz ? std::optional<double>(hz) : std::nullopt;
}

// The two sides of "A..B" (or "A<sep>B"), each read by `read` unless empty.
template <typename Read>
bool split_span(std::string_view text, std::string_view separator, Read read, std::optional<double>& low,
                std::optional<double>& high) {
    const std::size_t at = text.find(separator);
    if (at == std::string_view::npos) return false;
    const std::string_view a = text.substr(0, at), b = text.substr(at + separator.size());
    if (!a.empty() && !(low = read(a))) return false;
    if (!b.empty() && !(high = read(b))) return false;
    return !(low && high && *high <= *low);
}

}  // namespace

std::optional<int> parse_width(std::string_view text) {
    if (lowered(text) == "auto") return 0;
    const std::optional<int> n = parse_whole(text);
    if (!n || *n < kMinWidth || *n > kMaxWidth) return std::nullopt;
    return n;
}

std::optional<int> parse_fft(std::string_view text) {
    const std::optional<int> n = parse_whole(text);
    if (!n || !audio::valid_spectrum_shape({*n, audio::Window::Hann})) return std::nullopt;
    return n;
}

std::optional<audio::Window> parse_window(std::string_view text) {
    const std::string t = lowered(text);
    if (t == "hann") return audio::Window::Hann;
    if (t == "hamming") return audio::Window::Hamming;
    if (t == "blackman-harris") return audio::Window::BlackmanHarris;
    if (t == "kaiser") return audio::Window::Kaiser;
    if (t == "rectangular") return audio::Window::Rectangular;
    return std::nullopt;
}

std::optional<TimeSpan> parse_time_span(std::string_view text) {
    TimeSpan span;
    if (!split_span(text, "..", parse_time, span.start_s, span.end_s)) return std::nullopt;
    return span;
}

std::optional<FrequencySpan> parse_frequency_span(std::string_view text) {
    FrequencySpan span;
    const std::string_view separator = text.find("..") != std::string_view::npos ? ".." : ":";
    if (!split_span(text, separator, parse_frequency, span.low_hz, span.high_hz)) return std::nullopt;
    return span;
}

std::optional<Stretch> drawn_stretch(const TimeSpan& span, std::uint64_t length, float seconds,
                                     std::uint32_t frame_bytes, std::uint32_t rate) {
    if (span.whole()) return Stretch{0, length, 0.0, seconds};
    const std::uint64_t frames = length / std::max<std::uint32_t>(frame_bytes, 1);
    const auto frame_at = [&](double s) {
        return std::min<std::uint64_t>(frames, static_cast<std::uint64_t>(std::llround(s * rate)));
    };
    const std::uint64_t first = span.start_s ? frame_at(*span.start_s) : 0;
    const std::uint64_t last = span.end_s ? frame_at(*span.end_s) : frames;
    if (first >= frames || last <= first || rate == 0) return std::nullopt;
    return Stretch{first * frame_bytes, last * frame_bytes, static_cast<double>(first) / rate,
                   static_cast<float>(static_cast<double>(last - first) / rate)};
}

ColumnPlan plan_stretch(const Stretch& stretch, int width, bool whole_file) {
    const std::uint64_t length = stretch.end - stretch.begin;
    ColumnPlan plan = width > 0 ? ColumnPlan{width, length / static_cast<std::uint64_t>(width)}
                                : plan_columns(length, stretch.seconds);
    plan.origin = stretch.begin;
    if (!whole_file) plan.end = stretch.end;
    return plan;
}

std::optional<std::string> picture_size_refusal(int width, int height, int panes, bool framed, bool jpeg) {
    const int columns = width > 0 ? width : kMaxColumns;
    const std::int64_t rows = std::int64_t{height} * panes;
    const FrameLayout layout = frame_layout(columns, static_cast<int>(rows));
    const std::int64_t w = framed ? layout.width : columns, h = framed ? layout.height : rows;
    if (w * h > kMaxPicturePixels)
        return std::to_string(w) + "x" + std::to_string(h) + " pixels is more than " +
               std::to_string(kMaxPicturePixels / 1'000'000) + " million";
    if (jpeg && h > kMaxJpegRows)
        return std::to_string(h) + " rows is more than a JPEG picture holds (" + std::to_string(kMaxJpegRows) + ")";
    return std::nullopt;
}

}  // namespace tolvek::convert
