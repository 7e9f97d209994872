#include "convert/painter.h"

#include "convert/plan.h"

namespace tolvek::convert {

Painter::Painter(image::Picture& picture, const unsigned char* const* palette, bool grid, float dt, float bin)
    : picture_(picture), red_(palette[0]), green_(palette[1]), blue_(palette[2]) {
    if (grid) marks_.emplace(dt, bin);
}

bool Painter::paint(int i, std::span<const float, audio::kSpectrumBins> magnitudes) {
    static const LevelMap level_of_magnitude;

    // Grid hook 1: a 60-second line fills the whole column.
    if (marks_ && marks_->time_test()) {
        for (int j = 0; j < audio::kSpectrumBins; ++j) picture_.set_pixel(i, j, time_grid_color);
        return false;
    }

    for (int j = 0; j < audio::kSpectrumBins; ++j) {
        const std::uint8_t level = level_of_magnitude(magnitudes[j]);
        levels_[j] = level;
        image::Rgb c = colour(level);
        // Grid hook 2: the kHz rows.
        if (marks_) c = marks_->frequency_test(j, c, level);
        picture_.set_pixel(i, j, c);
    }

    // Grid hook 3: a 10-second column is blended again from the level row.
    if (marks_ && marks_->column_overlay_due()) {
        const BlendWeights& weights = blend_weights();
        for (int j = 0; j < audio::kSpectrumBins; ++j) {
            const std::uint8_t level = levels_[j];
            picture_.set_pixel(i, j, blend(colour(level), time_grid_color, weights[level]));
        }
    }
    return true;
}

}  // namespace tolvek::convert
