#include "convert/frame.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <span>
#include <vector>

#include "convert/plan.h"

namespace tolvek::convert {
namespace {

constexpr image::Rgb kBackground{24, 24, 24};
constexpr image::Rgb kInk{235, 235, 235};
constexpr image::Rgb kRule{150, 150, 150};

constexpr int kLeftPx = 44;    // frequency labels and ticks
constexpr int kRightPx = 80;   // gap, colour bar, ticks, dB labels
constexpr int kTopPx = 44;     // title line, then the axes' units
constexpr int kUnitsAbovePx = 10;  // the units' baseline above the data area
constexpr int kBottomPx = 26;  // time ticks and labels
constexpr int kTickPx = 4;
constexpr int kBarGapPx = 12;
constexpr int kBarWidthPx = 14;
// Labels closer than this would crowd each other.
constexpr int kMinPxBetweenTimeLabels = 64;
constexpr int kMinPxBetweenLinearLabels = 40;
constexpr int kMinPxBetweenLogLabels = 16;  // the log scale thins its marks as the grid does
constexpr int kMinPxBetweenDbLabels = 24;

// Paints in rows counted from the top, as the layout is worked out.
void fill(image::Picture& p, int x, int top, int w, int h, image::Rgb c) {
    for (int row = std::max(top, 0); row < std::min(top + h, p.height()); ++row)
        for (int col = std::max(x, 0); col < std::min(x + w, p.width()); ++col)
            p.set_pixel(col, p.height() - 1 - row, c);
}

std::string number_text(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// 8 Tbit/s: a higher bit rate is a length gone wrong, not a file's.
constexpr double kMaxShownKbps = 8e9;
// Labels never outnumber the pixels an axis has, whatever values reach it.
constexpr std::size_t kMaxLabels = 4096;

// Smallest of 1, 2, 5, 10, 20, 50, ... not below `x` (x > 0 and finite).
double one_two_five_at_least(double x) {
    if (x <= 1.0) return 1.0;
    const double decade = std::pow(10.0, std::floor(std::log10(x)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * decade >= x) return m * decade;
    return 10.0 * decade;
}

struct Label {
    int offset = 0;  // along the axis, pixels from the data area's bottom or left
    std::string text;
};

// Labels a vertical axis at `x`: a tick, then the text right- or left-aligned.
void vertical_labels(image::Picture& p, const FrameLayout& l, const std::vector<Label>& labels, int tick_x,
                     bool text_left, const image::Font* font) {
    for (const Label& label : labels) {
        const int row = l.top + l.rows - 1 - label.offset;
        fill(p, tick_x, row, kTickPx, 1, kRule);
        if (!font) continue;
        const int baseline = row + font->ascent() * 2 / 5;
        const int w = font->width(label.text);
        font->draw(p, text_left ? tick_x - 2 - w : tick_x + kTickPx + 2, baseline, label.text, kInk);
    }
}

// The axis's top frequency.
double top_hz(std::uint32_t rate, const FrequencySpan& freq) { return freq.high_hz.value_or(rate / 2.0); }

// Frequencies read in kHz, or in Hz when the top of the axis is below 1 kHz.
double frequency_unit_hz(double top_hz) { return top_hz < 1000.0 ? 1.0 : 1000.0; }

// Past 10 kHz the log scale's kilohertz marks crowd together and are not
// labelled; these rounder values are, wherever they keep their distance.
void add_high_log_labels(const FrequencyAxis& axis, double unit_hz, std::vector<Label>& out) {
    static constexpr double kHighHz[] = {12e3, 15e3, 20e3, 25e3, 30e3, 40e3, 50e3, 60e3, 80e3, 100e3, 150e3, 200e3};
    for (double hz : kHighHz) {
        if (hz > axis.high_hz || hz > axis.rate / 2) break;
        const int row = static_cast<int>(std::lround(frequency_row(axis, hz)));
        const bool clear = std::none_of(out.begin(), out.end(), [&](const Label& l) {
            return std::abs(l.offset - row) < kMinPxBetweenLogLabels;
        });
        if (clear && row >= 0 && row < axis.rows) out.push_back({row, number_text(hz / unit_hz)});
    }
}

std::vector<Label> frequency_labels(int rows, const FrameFacts& facts, const FrameAxes& axes) {
    std::vector<Label> out;
    const double rate = facts.rate;
    if (rate <= 0) return out;
    const FrequencyAxis axis = FrequencyAxis::make(axes.scale, rate, rows, axes.freq.low_hz, axes.freq.high_hz);
    const double unit_hz = frequency_unit_hz(axis.high_hz);
    if (axes.scale == Scale::Log) {
        for (const FrequencyMark& m : log_marks(axis, kMinPxBetweenLogLabels))
            out.push_back({m.row, number_text(m.hz / unit_hz)});
        add_high_log_labels(axis, unit_hz, out);
        return out;
    }
    // Below 1 kHz the steps go down to a hundredth of a hertz, so that the
    // lowest rates still get labels.
    static constexpr double kKilohertzStepsHz[] = {100, 200, 500, 1000, 2000, 5000, 10000, 20000};
    static constexpr double kHertzStepsHz[] = {0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100, 200, 500};
    const double rows_per_hz = axis.rows / (axis.high_hz - axis.low_hz);
    const std::span<const double> steps = unit_hz == 1.0 ? std::span<const double>(kHertzStepsHz) : kKilohertzStepsHz;
    for (double hz : label_values(axis.low_hz, axis.high_hz, rows_per_hz, kMinPxBetweenLinearLabels, steps)) {
        const int row = static_cast<int>(std::lround(frequency_row(axis, hz)));
        if (row >= 0 && row < rows) out.push_back({row, number_text(hz / unit_hz)});
    }
    return out;
}

// A frequency axis per pane, and each pane's name in its top-left corner on
// the frame's background, so that it reads over any palette.
void pane_axes(image::Picture& p, const FrameLayout& l, const FrameFacts& facts, const FrameAxes& axes,
               const image::Font* font) {
    const int panes = std::max<int>(1, static_cast<int>(facts.panes.size()));
    const int rows = l.rows / panes;
    const std::vector<Label> labels = frequency_labels(rows, facts, axes);
    for (int pane = 0; pane < panes; ++pane) {
        std::vector<Label> shifted;
        for (const Label& label : labels)
            // Under another pane, a top label would cover that pane's 0.
            if (pane == 0 || label.offset < rows - kFrameTextPx)
                shifted.push_back({label.offset + (panes - 1 - pane) * rows, label.text});
        vertical_labels(p, l, shifted, l.left - 1 - kTickPx, true, font);
        if (!font || facts.panes.empty()) continue;
        const std::string& name = facts.panes[pane];
        const int top = l.top + pane * rows;
        fill(p, l.left, top, font->width(name) + 2 * kTickPx, font->ascent() + 2 * kTickPx, kBackground);
        font->draw(p, l.left + kTickPx, top + kTickPx + font->ascent(), name, kInk);
    }
}

// Time labels as times of day: at multiples of the step on the clock, so a
// long recording gets marks at full hours.
std::vector<Label> clock_labels(const FrameLayout& l, const ClockStart& clock, double start, double drawn) {
    static constexpr double kSteps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600};
    const double px_per_second = l.columns / drawn, first = clock.seconds + start;
    const std::vector<double> values = label_values(first, first + drawn, px_per_second, kMinPxBetweenTimeLabels, kSteps);
    const bool with_seconds = std::any_of(values.begin(), values.end(), [](double v) { return std::fmod(v, 60.0) != 0.0; });
    std::vector<Label> out;
    for (double v : values) {
        const int x = static_cast<int>(std::lround((v - first) * px_per_second));
        if (x >= l.columns) break;
        out.push_back({x, clock_label(clock, v - clock.seconds, with_seconds)});
    }
    return out;
}

void time_axis(image::Picture& p, const FrameLayout& l, const FrameFacts& facts, const image::Font* font) {
    const int axis_row = l.top + l.rows;
    fill(p, l.left - 1, axis_row, l.columns + 1, 1, kRule);
    if (facts.clock) {
        const double drawn = facts.drawn_s > 0.0 ? facts.drawn_s : facts.seconds;
        if (!(drawn > 0.0) || !std::isfinite(drawn)) return;
        for (const Label& label : clock_labels(l, *facts.clock, facts.start_s, drawn)) {
            fill(p, l.left + label.offset, axis_row + 1, 1, kTickPx, kRule);
            if (!font) continue;
            const int w = font->width(label.text);
            const int x_text = std::max(0, std::min(l.left + label.offset - w / 2, p.width() - w));
            font->draw(p, x_text, axis_row + 1 + kTickPx + 1 + font->ascent(), label.text, kInk);
        }
        return;
    }
    const double start = facts.start_s, drawn = facts.drawn_s > 0.0 ? facts.drawn_s : facts.seconds;
    if (!(drawn > 0.0) || !std::isfinite(drawn)) return;
    static constexpr double kSteps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 18000, 36000};
    const double px_per_second = l.columns / drawn;
    const bool hours = start + drawn >= 3600.0;
    for (double t : label_values(start, start + drawn, px_per_second, kMinPxBetweenTimeLabels, kSteps)) {
        if (!((t - start) * px_per_second < l.columns)) break;
        const int x = l.left + static_cast<int>(std::lround((t - start) * px_per_second));
        if (x >= l.left + l.columns) break;
        fill(p, x, axis_row + 1, 1, kTickPx, kRule);
        if (!font) continue;
        const std::string text = clock_text(t, hours);
        const int w = font->width(text);
        const int x_text = std::max(0, std::min(x - w / 2, p.width() - w));
        font->draw(p, x_text, axis_row + 1 + kTickPx + 1 + font->ascent(), text, kInk);
    }
}

// One bar `rows` high whose bottom is `bottom` rows above the data area's
// bottom, labelled in dBFS; `top_label` keeps a label at its very top.
void colour_bar_at(image::Picture& p, const FrameLayout& l, const FrameAxes& axes, int bottom, int rows,
                   bool top_label, const image::Font* font) {
    const int bar_x = l.left + l.columns + kBarGapPx;
    for (int k = 0; k < rows; ++k) {
        const int level = k * 256 / rows;
        const image::Rgb c{axes.palette->red[level], axes.palette->green[level], axes.palette->blue[level]};
        fill(p, bar_x, l.top + l.rows - 1 - bottom - k, kBarWidthPx, 1, c);
    }
    const Range span = level_span(axes.range);
    static constexpr double kSteps[] = {1, 2, 5, 10, 20, 50, 100, 200, 500};
    const double low = span.low_dbfs, high = span.high_dbfs;
    // The span in float as the levels take it, unless that overflows.
    const float span_db = span.high_dbfs - span.low_dbfs;
    const double px_per_db = rows / (std::isfinite(span_db) ? static_cast<double>(span_db) : high - low);
    std::vector<Label> labels;
    for (double db : label_values(low, high, px_per_db, kMinPxBetweenDbLabels, kSteps)) {
        // Within [0, rows] as db lies within the span.
        const int offset = std::min(static_cast<int>(std::lround((db - low) * px_per_db)), rows - 1);
        // Under another pane's bar, a top label would cover that bar's lowest.
        if (!top_label && offset >= rows - kFrameTextPx) continue;
        labels.push_back({bottom + offset, number_text(db == 0.0 ? 0.0 : db)});
    }
    vertical_labels(p, l, labels, bar_x + kBarWidthPx, false, font);
}

// A bar per pane, each as high as its pane and labelled for it.
void colour_bar(image::Picture& p, const FrameLayout& l, const FrameFacts& facts, const FrameAxes& axes,
                const image::Font* font) {
    const int panes = std::max<int>(1, static_cast<int>(facts.panes.size()));
    const int rows = l.rows / panes;
    for (int pane = 0; pane < panes; ++pane)
        colour_bar_at(p, l, axes, (panes - 1 - pane) * rows, panes == 1 ? l.rows : rows, pane == 0, font);
    if (font) font->draw(p, l.left + l.columns + kBarGapPx, l.top - kUnitsAbovePx, "dBFS", kInk);
}


}  // namespace

std::vector<double> label_values(double low, double high, double px_per_unit, int min_px,
                                 std::span<const double> steps) {
    std::vector<double> out;
    const bool usable = std::isfinite(low) && std::isfinite(high) && low <= high && std::isfinite(px_per_unit) &&
                        px_per_unit > 0.0 && !steps.empty() && min_px > 0;
    if (!usable) return out;
    double step = steps.back() * one_two_five_at_least(min_px / px_per_unit / steps.back());
    for (double s : steps)
        if (s * px_per_unit >= min_px) {
            step = s;
            break;
        }
    const double first = std::ceil(low / step) * step;
    const double intervals = std::floor((high - first) / step);
    if (!std::isfinite(step) || !(intervals >= 0.0)) return out;
    const auto count = static_cast<std::size_t>(std::min(intervals, static_cast<double>(kMaxLabels - 1))) + 1;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) out.push_back(first + static_cast<double>(i) * step);
    return out;
}

FrameLayout frame_layout(int columns, int rows) {
    FrameLayout l;
    l.columns = columns;
    l.rows = rows;
    l.left = kLeftPx;
    l.top = kTopPx;
    l.width = kLeftPx + columns + kRightPx;
    l.height = kTopPx + rows + kBottomPx;
    return l;
}

std::string clock_text(double seconds, bool hours) {
    // In doubles, so that a length no integer holds still reads.
    const double s = std::isfinite(seconds) ? std::floor(std::max(seconds, 0.0)) : 0.0;
    const int sec = static_cast<int>(std::fmod(s, 60.0));
    char buf[352];  // the longest "%.0f" of a double and the rest
    if (hours)
        std::snprintf(buf, sizeof buf, "%.0f:%02d:%02d", std::floor(s / 3600.0),
                      static_cast<int>(std::fmod(std::floor(s / 60.0), 60.0)), sec);
    else
        std::snprintf(buf, sizeof buf, "%.0f:%02d", std::floor(s / 60.0), sec);
    return buf;
}

std::string title_text(const FrameFacts& f) {
    std::string text = std::filesystem::path(f.name).filename().string();
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g kHz", f.rate / 1000.0);
    text += "  \xE2\x80\x94  " + std::string(rate) + ", " + channel_text(f.channels);
    const bool known = f.seconds > 0.0 && std::isfinite(f.seconds);
    if (known) text += ", " + clock_text(f.seconds, f.seconds >= 3600.0);
    std::string bitrate = f.codec;
    const double kbps = average_bitrate_kbps(f.declared_kbps, f.size_bytes, f.seconds);
    // A rate no file has (a length of next to nothing) says nothing.
    if (kbps > 0.0 && kbps < kMaxShownKbps) {
        char rate_text[64];
        if (kbps >= 1.0)
            std::snprintf(rate_text, sizeof rate_text, "%.0f kbps", kbps);
        else
            std::snprintf(rate_text, sizeof rate_text, "%.0f bps", kbps * 1000.0);
        bitrate += (bitrate.empty() ? "" : " ") + std::string(rate_text);
    }
    if (!bitrate.empty()) text += ", " + bitrate;
    if (f.clock) text += ", " + title_clock_text(*f.clock);
    for (std::size_t i = 0; i < f.findings.size(); ++i) text += (i == 0 ? "  \xE2\x80\x94  " : ", ") + f.findings[i];
    return text;
}

std::string fitted_title(const FrameFacts& facts, const image::Font& font, int max_px) {
    std::string title = title_text(facts);
    if (font.width(title) <= max_px) return title;
    const std::string name = std::filesystem::path(facts.name).filename().string();
    std::vector<std::size_t> starts;  // of each character of the name
    for (std::size_t pos = 0; pos < name.size(); pos += utf8_char_length(name, pos)) starts.push_back(pos);
    const std::string rest = title.substr(name.size());
    for (std::size_t cut = 1; cut < starts.size(); ++cut) {
        const std::size_t keep = starts.size() - cut, head = (keep + 1) / 2, tail = keep - head;
        const std::size_t head_end = head < starts.size() ? starts[head] : name.size();
        const std::size_t tail_start = tail == 0 ? name.size() : starts[starts.size() - tail];
        title = name.substr(0, head_end) + "\xE2\x80\xA6" + name.substr(tail_start) + rest;
        if (font.width(title) <= max_px) break;
    }
    return title;
}

void draw_frame(image::Picture& p, const FrameLayout& l, const FrameFacts& facts, const FrameAxes& axes,
                const image::Font* font) {
    fill(p, 0, 0, l.width, l.top, kBackground);
    fill(p, 0, l.top + l.rows, l.width, l.height - l.top - l.rows, kBackground);
    fill(p, 0, l.top, l.left, l.rows, kBackground);
    fill(p, l.left + l.columns, l.top, l.width - l.left - l.columns, l.rows, kBackground);
    fill(p, l.left - 1, l.top, 1, l.rows, kRule);
    pane_axes(p, l, facts, axes, font);
    time_axis(p, l, facts, font);
    colour_bar(p, l, facts, axes, font);
    if (!font) return;
    font->draw(p, 6, 4 + font->ascent(), fitted_title(facts, *font, l.width - 2 * 6), kInk);
    const double unit_hz = frequency_unit_hz(top_hz(facts.rate, axes.freq));
    font->draw(p, 4, l.top - kUnitsAbovePx, unit_hz == 1.0 ? "Hz" : "kHz", kInk);
}

}  // namespace tolvek::convert
