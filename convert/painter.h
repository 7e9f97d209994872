// Paints the picture one column at a time from the column's spectrum: levels,
// palette colours and, with the grid on, its three marks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "audio/audio.h"
#include "convert/grid.h"
#include "image/picture.h"

namespace tolvek::convert {

class Painter {
public:
    // `palette` is three tables of 256 entries; `dt` and `bin` place the
    // grid's marks and matter only with `grid` on.
    Painter(image::Picture& picture, const unsigned char* const* palette, bool grid, float dt, float bin);

    // Paints column `i`. False when the column became a full-height time
    // line, which ends the column without a progress line.
    bool paint(int i, std::span<const float, audio::kSpectrumBins> magnitudes);

private:
    image::Rgb colour(std::uint8_t level) const { return {red_[level], green_[level], blue_[level]}; }

    image::Picture& picture_;
    const unsigned char* red_;
    const unsigned char* green_;
    const unsigned char* blue_;
    std::optional<Grid> marks_;
    std::array<std::uint8_t, audio::kSpectrumBins> levels_{};
};

}  // namespace tolvek::convert
