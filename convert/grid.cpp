#include "convert/grid.h"

#include <cmath>
#include <cstdint>

namespace tolvek::convert {

const BlendWeights& blend_weights() {
    static const BlendWeights table = [] {
        BlendWeights w{};
        for (int j = 0; j < 256; ++j) w[j] = static_cast<int>(std::sqrt(512.0 * j - static_cast<double>(j) * j));
        return w;
    }();
    return table;
}

void fill_blend_weights() { (void)blend_weights(); }

image::Rgb blend(image::Rgb cell, image::Rgb grid, int weight) {
    return {static_cast<std::uint8_t>(blend_channel(cell.r, grid.r, weight)),
            static_cast<std::uint8_t>(blend_channel(cell.g, grid.g, weight)),
            static_cast<std::uint8_t>(blend_channel(cell.b, grid.b, weight))};
}

// The marks compare integer remainders of truncated running sums; the sums
// stay in single precision, so where a mark falls follows float rounding.
static std::int64_t trunc_to_int(float v) { return static_cast<std::int64_t>(v); }

Grid::Grid(float dt, float bin)
    : dt_(dt),
      minute_lines_(static_cast<float>(kTicksPerMinute) >= kMinColumnsPerMark * dt),
      ten_second_columns_(static_cast<float>(kTicksPerTenSeconds) >= kMinColumnsPerMark * dt) {
    // The running sum of `bin` in single precision, tested after each add.
    const std::int64_t b = trunc_to_int(bin);
    float f = 0.0f;
    for (RowMark& mark : rows_) {
        f += bin;
        const std::int64_t freq = trunc_to_int(f);
        mark = freq % kHzPerLightRow >= b   ? RowMark::None
               : freq % kHzPerSolidRow < b ? RowMark::Solid
                                           : RowMark::Light;
    }
}

Grid::Grid(float dt, std::vector<RowMark> rows) : Grid(dt, 0.0f) { rows_ = std::move(rows); }

bool Grid::time_test() {
    t_ += dt_;
    return minute_lines_ && trunc_to_int(t_) % kTicksPerMinute < trunc_to_int(dt_);
}

bool Grid::column_overlay_due() const {
    return ten_second_columns_ && trunc_to_int(t_) % kTicksPerTenSeconds < trunc_to_int(dt_);
}

}  // namespace tolvek::convert
