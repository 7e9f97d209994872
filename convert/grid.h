// Time and frequency marks painted over the spectrogram while its columns are
// drawn: a full-height line every 60 s, a lighter column every 10 s, a solid
// row at every multiple of 5 kHz and a lighter row at every other kHz.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "image/picture.h"

namespace tolvek::convert {

// blend_weights[j] = trunc(sqrt(512 j - j²)): the height of a quarter circle
// of radius 256, so quiet cells take much of the grid colour and level 255
// none of it.
using BlendWeights = std::array<int, 256>;
const BlendWeights& blend_weights();

// The table is filled once, on first use, so library callers need no set-up;
// the program's start-up fills it here before the first conversion.
void fill_blend_weights();

constexpr image::Rgb time_grid_color{255, 255, 255};
constexpr image::Rgb freq_grid_color{255, 255, 255};

// One channel of the cell colour c blended with the grid colour g by weight w.
constexpr int blend_channel(int c, int g, int w) { return c * w / 255 + ((255 - w) * g / 255) / 2; }
image::Rgb blend(image::Rgb cell, image::Rgb grid, int weight);

enum class RowMark : std::uint8_t { None, Light, Solid };

// Time runs in ticks of 2 ms of audio.
inline constexpr std::int64_t kTicksPerMinute = 30000;
inline constexpr std::int64_t kTicksPerTenSeconds = 5000;
// A time mark is drawn only while its interval spans at least this many
// columns: past that, marks would cover the whole picture of a long
// recording (a column of over 60 s would be all white). Every file up to
// 40 minutes keeps every mark.
inline constexpr float kMinColumnsPerMark = 4.0f;
inline constexpr int kHzPerLightRow = 1000;
inline constexpr int kHzPerSolidRow = 5000;

// The grid state of one conversion.
class Grid {
public:
    // Rows as the linear scale has always had them: `bin` Hz apart.
    Grid(float dt, float bin);
    // Rows marked as `rows` says (the log scale's, or a pane of another
    // height or frequency range).
    Grid(float dt, std::vector<RowMark> rows);
    // The time of the first column, in ticks, when it is not the start of
    // the recording.
    void start_at(float ticks) { t_ = ticks; }

    // Before column i's rows: advances the time and answers whether the
    // column is a full-height 60-second line (then it is finished).
    bool time_test();
    // The colour a cell of row j takes. The frequency sum starts again in
    // every column and grows alike, so the rows are worked out once.
    image::Rgb frequency_test(int j, image::Rgb cell, std::uint8_t level) const {
        switch (rows_[j]) {
            case RowMark::None: return cell;
            case RowMark::Solid: return freq_grid_color;
            default: return blend(cell, freq_grid_color, blend_weights()[level]);
        }
    }
    // After all rows: whether the whole column is to be blended as a
    // 10-second mark.
    bool column_overlay_due() const;

private:
    float dt_;
    float t_ = 0.0f;
    bool minute_lines_;
    bool ten_second_columns_;
    std::vector<RowMark> rows_ = std::vector<RowMark>(1024);
};

}  // namespace tolvek::convert
