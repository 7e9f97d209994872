// The frame around a spectrogram: a title line, a time axis, a frequency
// axis and a colour bar with dB labels, laid out in margins around the data
// area, which stays exactly the pixels an unframed picture has.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "convert/clock.h"
#include "convert/levels.h"
#include "convert/scale.h"
#include "convert/shape.h"
#include "image/picture.h"
#include "image/text.h"
#include "palette/palette.h"

namespace tolvek::convert {

// What the title line says about the file.
struct FrameFacts {
    std::string name;  // the file name as the lines show it
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    double seconds = 0.0;  // 0: unknown
    std::uint64_t size_bytes = 0;
    std::string codec;  // the decoder's name; empty when unknown
    std::uint32_t declared_kbps = 0;  // the codec's or container's bit rate; 0: none
    // Names of the panes of 1024 rows stacked in the data area, top first,
    // each with its own frequency axis; empty: one unnamed pane.
    std::vector<std::string> panes = {};
    // Verdicts the title adds after the file's facts (verdicts.h).
    std::vector<std::string> findings = {};
    // The stretch drawn: from `start_s`, `drawn_s` long (0: all of `seconds`).
    double start_s = 0.0;
    double drawn_s = 0.0;
    // The time of day the recording starts at: the time axis reads as a
    // clock and the title gives the date.
    std::optional<ClockStart> clock = {};
};

// What the axes and the colour bar stand for.
struct FrameAxes {
    Scale scale = Scale::Linear;
    Range range;  // the levels' mapping, for the colour bar's labels
    const palette::Colours* palette = nullptr;
    FrequencySpan freq = {};  // the band the rows show
};

// The framed picture's size and where the data area sits in it.
struct FrameLayout {
    int width = 0, height = 0;  // the whole picture
    int left = 0, top = 0;      // the data area's top-left pixel, rows counted from the top
    int columns = 0, rows = 0;  // the data area
    // The data area's bottom-left pixel as the picture counts rows (from the bottom).
    int data_y0() const { return height - top - rows; }
};
FrameLayout frame_layout(int columns, int rows);

inline constexpr int kFrameTextPx = 12;

// Fills the margins of `picture` (everything outside the data area). Text is
// drawn only with a font; without one the axes, ticks and bar still are.
void draw_frame(image::Picture& picture, const FrameLayout& layout, const FrameFacts& facts, const FrameAxes& axes,
                const image::Font* font);

// Values to label along an axis from `low` to `high` at `px_per_unit`
// pixels per unit: the multiples of a step in that stretch, the step being
// the first of `steps` (ascending) that keeps labels `min_px` apart, or past
// the last one that step times 2, 5, 10, 20, 50, ... Their number follows
// from the axis's pixels, never from the values; none when nothing fits.
std::vector<double> label_values(double low, double high, double px_per_unit, int min_px,
                                 std::span<const double> steps);

// Label texts, apart so that they can be checked: "m:ss" or "h:mm:ss"
// (the latter when `hours` is set), and the title line.
std::string clock_text(double seconds, bool hours);
std::string title_text(const FrameFacts& facts);
// title_text with the file name shortened in its middle ("a_rath…24.mp3")
// until the line is at most `max_px` wide in `font`, the facts kept whole.
std::string fitted_title(const FrameFacts& facts, const image::Font& font, int max_px);

}  // namespace tolvek::convert
