#include "convert/painter.h"

#include "convert/levels.h"

namespace tolvek::convert {
namespace {

const LevelMap& classic_levels() {
    static const LevelMap map;
    return map;
}

Pane classic_pane(bool grid, float dt, float bin) {
    Pane pane;
    if (grid) pane.grid.emplace(dt, bin);
    return pane;
}

}  // namespace

Painter::Painter(image::Picture& picture, const palette::Colours& palette, bool grid, float dt, float bin)
    : Painter(picture, palette, classic_pane(grid, dt, bin)) {}

Painter::Painter(image::Picture& picture, const palette::Colours& palette, Pane pane)
    : picture_(picture), palette_(palette), pane_(std::move(pane)) {
    if (!pane_.levels) pane_.levels = &classic_levels();
    if (pane_.rows) pane_.height = pane_.rows->rows();
    levels_.resize(static_cast<std::size_t>(pane_.height));
    if (pane_.rows) rows_.resize(static_cast<std::size_t>(pane_.height));
}

bool Painter::paint(int i, std::span<const float> magnitudes) {
    const int height = pane_.height;
    const LevelMap& level_of_magnitude = *pane_.levels;
    std::optional<Grid>& marks = pane_.grid;

    std::span<const float> cells = magnitudes;
    if (pane_.rows) {
        pane_.rows->apply(magnitudes, rows_);
        cells = rows_;
    }
    if (pane_.data)
        for (int j = 0; j < height; ++j)
            pane_.data[static_cast<std::size_t>(j) * static_cast<std::size_t>(pane_.columns) + static_cast<std::size_t>(i)] =
                static_cast<float>(dbfs_of(cells[j]));

    // Grid hook 1: a 60-second line fills the whole column.
    if (marks && marks->time_test()) {
        for (int j = 0; j < height; ++j) set(i, j, time_grid_color);
        return false;
    }
    for (int j = 0; j < height; ++j) {
        const std::uint8_t level = level_of_magnitude(cells[j]);
        levels_[j] = level;
        image::Rgb c = colour(level);
        // Grid hook 2: the frequency rows.
        if (marks) c = marks->frequency_test(j, c, level);
        set(i, j, c);
    }

    // Grid hook 3: a 10-second column is blended again from the level row.
    if (marks && marks->column_overlay_due()) {
        const BlendWeights& weights = blend_weights();
        for (int j = 0; j < height; ++j) {
            const std::uint8_t level = levels_[j];
            set(i, j, blend(colour(level), time_grid_color, weights[level]));
        }
    }
    return true;
}

}  // namespace tolvek::convert
