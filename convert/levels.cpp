#include "convert/levels.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

namespace tolvek::convert {
namespace {

std::optional<double> parse_finite(std::string_view text) {
    double value = 0.0;
    // from_chars takes no leading '+'; a bound like "+6" is still a number.
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

bool is_classic(std::string_view text) {
    constexpr std::string_view kClassic = "classic";
    return text.size() == kClassic.size() && std::equal(text.begin(), text.end(), kClassic.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

}  // namespace

std::optional<Range> parse_range(std::string_view text) {
    if (is_classic(text)) return Range{};
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::optional<double> low = parse_finite(text.substr(0, colon));
    const std::optional<double> high = parse_finite(text.substr(colon + 1));
    // The bounds are checked on the values read in double, before the
    // rounding to float.
    if (!low || !high || *low < kRangeLowestDbfs || *high > kRangeHighestDbfs || *high - *low < kRangeLeastSpanDb)
        return std::nullopt;
    return Range::dbfs(static_cast<float>(*low), static_cast<float>(*high));
}

double dbfs_of(double magnitude) { return 20.0 * std::log10(magnitude / kFullScaleMagnitude); }

std::uint8_t level_in_range(float magnitude, const Range& range) {
    if (!(magnitude > 0.0f)) return 0;
    const double db = dbfs_of(magnitude);
    const double low = range.low_dbfs, high = range.high_dbfs;
    if (db <= low) return 0;
    if (db >= high) return 255;
    return static_cast<std::uint8_t>((db - low) * 255.0 / (high - low));
}

Range level_span(const Range& range) {
    if (!range.classic) return range;
    // ln m = -15 and -5 in dBFS.
    const auto db = [](double ln) { return static_cast<float>(dbfs_of(std::exp(ln))); };
    return Range::dbfs(db(-15.0), db(-5.0));
}

LevelMap level_map(const Range& range) {
    if (range.classic) return LevelMap();
    return LevelMap([range](float m) { return level_in_range(m, range); });
}

}  // namespace tolvek::convert
