// Paints the picture one column at a time from the column's spectrum: levels,
// palette colours and, with the grid on, its three marks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "audio/audio.h"
#include "convert/grid.h"
#include "convert/plan.h"
#include "convert/scale.h"
#include "image/picture.h"
#include "palette/palette.h"

namespace tolvek::convert {

// One pane of rows: how its cells get their levels and rows, its grid,
// and where its bottom-left cell sits in the picture (a framed picture has
// margins; channels painted apart would each get a pane).
struct Pane {
    const LevelMap* levels = nullptr;  // nullptr: the classic mapping
    const RowMap* rows = nullptr;      // nullptr: bin j in row j
    int height = audio::kSpectrumBins; // rows of the pane
    // With data: each cell's dBFS, [row][column] of `columns` columns.
    float* data = nullptr;
    int columns = 0;
    std::optional<Grid> grid;
    int x0 = 0;
    int y0 = 0;
};

class Painter {
public:
    // `palette` is three tables of 256 entries; `dt` and `bin` place the
    // grid's marks and matter only with `grid` on. The classic, linear,
    // unframed picture.
    Painter(image::Picture& picture, const palette::Colours& palette, bool grid, float dt, float bin);
    Painter(image::Picture& picture, const palette::Colours& palette, Pane pane);

    // Paints column `i` from its bin magnitudes (one per row without a row
    // map), wherever they came from. False when the column became a
    // full-height time line, which ends the column without a progress line.
    bool paint(int i, std::span<const float> magnitudes);

private:
    image::Rgb colour(std::uint8_t level) const { return {palette_.red[level], palette_.green[level], palette_.blue[level]}; }
    void set(int i, int j, image::Rgb c) { picture_.set_pixel(pane_.x0 + i, pane_.y0 + j, c); }

    image::Picture& picture_;
    const palette::Colours& palette_;
    Pane pane_;
    std::vector<std::uint8_t> levels_;
    std::vector<float> rows_;  // the cells of a row map
};

}  // namespace tolvek::convert
