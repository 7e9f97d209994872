#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "convert/convert.h"
#include "convert/grid.h"
#include "support/fixtures.h"
#include "tolvek/tolvek.h"

namespace tolvek::convert {
namespace {

TEST(BlendWeights, QuarterCircle) {
    const std::pair<int, int> cases[] = {{0, 0},     {1, 22},    {2, 31},    {64, 169},
                                         {128, 221}, {192, 247}, {254, 255}, {255, 255}};
    for (auto [j, w] : cases) EXPECT_EQ(blend_weights()[j], w) << j;
    // Every weight is the whole part of the circle's height: w² ≤ 512j − j² < (w + 1)², in integers.
    for (int j = 0; j < 256; ++j) {
        const int w = blend_weights()[j];
        const int height_squared = 512 * j - j * j;
        EXPECT_LE(w * w, height_squared) << j;
        EXPECT_LT(height_squared, (w + 1) * (w + 1)) << j;
    }
}

TEST(Blend, QuietCellsTakeHalfTheGridColourLoudOnesNone) {
    EXPECT_EQ(blend({0, 0, 0}, {255, 255, 255}, blend_weights()[0]), (image::Rgb{127, 127, 127}));
    EXPECT_EQ(blend({200, 10, 90}, {255, 255, 255}, blend_weights()[0]), (image::Rgb{127, 127, 127}));
    EXPECT_EQ(blend({200, 10, 90}, {255, 255, 255}, blend_weights()[255]), (image::Rgb{200, 10, 90}));
    // W = 169: trunc(100 × 169 / 255) + trunc(trunc(86 × 255 / 255) / 2) = 66 + 43.
    EXPECT_EQ(blend({100, 0, 255}, {255, 255, 255}, 169), (image::Rgb{109, 43, 212}));
}

enum class Mark { None, Line, Column };

// What the time marks do to each of `count` columns.
std::vector<Mark> time_marks(float dt, int count) {
    Grid g(dt, 21.5f);
    std::vector<Mark> marks;
    for (int i = 0; i < count; ++i) {
        if (g.time_test())
            marks.push_back(Mark::Line);
        else
            marks.push_back(g.column_overlay_due() ? Mark::Column : Mark::None);
    }
    return marks;
}

std::set<int> columns_with(const std::vector<Mark>& marks, Mark m) {
    std::set<int> out;
    for (int i = 0; i < static_cast<int>(marks.size()); ++i)
        if (marks[i] == m) out.insert(i);
    return out;
}

TEST(GridTime, MarksOfAHundredAndFiftySecondsInAThousandColumns) {
    const auto marks = time_marks(75.0f, 1000);
    EXPECT_EQ(columns_with(marks, Mark::Line), (std::set<int>{399, 799}));
    const std::set<int> tens = columns_with(marks, Mark::Column);
    const std::set<int> first(tens.begin(), tens.lower_bound(600));
    EXPECT_EQ(first, (std::set<int>{66, 133, 199, 266, 333, 466, 533, 599}));
    EXPECT_EQ(tens.size(), 13u);  // 15 ten-second marks, two of them full lines
}

TEST(GridTime, NoMarksWhenAColumnIsUnderTwoMilliseconds) {
    const auto marks = time_marks(0.9f, 1000);
    EXPECT_TRUE(columns_with(marks, Mark::Line).empty());
    EXPECT_TRUE(columns_with(marks, Mark::Column).empty());
}

// A mark is drawn only while its interval spans at least four columns, so
// a long recording keeps its picture; 40 minutes keeps every mark.
TEST(GridTime, LongRecordingsKeepTheirPicture) {
    struct Case {
        float minutes;
        std::size_t lines, columns;
    };
    for (const Case c : {Case{40.0f, 40, 200}, Case{60.0f, 60, 0}, Case{8947.0f, 0, 0}}) {
        SCOPED_TRACE(c.minutes);
        const auto marks = time_marks(c.minutes * 60.0f * 500.0f / 1000.0f, 1000);
        EXPECT_EQ(columns_with(marks, Mark::Line).size(), c.lines);
        EXPECT_EQ(columns_with(marks, Mark::Column).size(), c.columns);
    }
}

// Rows that become kHz marks over a level-0 cell of colour (1, 2, 3).
std::pair<std::set<int>, std::set<int>> frequency_rows(float rate) {
    const Grid g(75.0f, rate * 0.5f / 1024.0f);
    std::set<int> light, solid;
    for (int j = 0; j < 1024; ++j) {
        const image::Rgb c = g.frequency_test(j, {1, 2, 3}, 0);
        if (c == freq_grid_color)
            solid.insert(j);
        else if (c == image::Rgb{127, 127, 127})
            light.insert(j);
        else
            EXPECT_EQ(c, (image::Rgb{1, 2, 3})) << j;
    }
    return {light, solid};
}

TEST(GridFrequency, RowsAt44100Hz) {
    const auto [light, solid] = frequency_rows(44100.0f);
    EXPECT_EQ(solid, (std::set<int>{232, 464, 696, 928}));
    const std::set<int> first(light.begin(), light.lower_bound(300));
    EXPECT_EQ(first, (std::set<int>{46, 92, 139, 185, 278}));
    EXPECT_EQ(light.size() + solid.size(), 22u);
}

TEST(GridFrequency, NoRowsBelow2048Hz) {
    const auto [light, solid] = frequency_rows(2000.0f);
    EXPECT_TRUE(light.empty());
    EXPECT_TRUE(solid.empty());
}

TEST(GridFrequency, LoudCellsUnderALightRowKeepTheirColour) {
    const Grid g(75.0f, 44100.0f * 0.5f / 1024.0f);
    EXPECT_EQ(g.frequency_test(46, {200, 10, 90}, 255), (image::Rgb{200, 10, 90}));
    EXPECT_EQ(g.frequency_test(232, {200, 10, 90}, 255), freq_grid_color);
}

// The grid in a saved picture: a sound of 61 s at 8 kHz, silent, so every
// cell is level 0 and black in the grey palette.
TEST(GridPicture, LinesAndRowsInTheSavedPicture) {
    test::TempDir dir;
    const std::string wav = dir.file("minute.wav");
    test::write_wav(wav, 8000, 1, test::silence(8000, 1, 61.0));
    test::TestPalette grey = test::TestPalette::grey();
    for (int grid : {1, 0}) {
        ASSERT_EQ(_process_file(wav.c_str(), TOLVEK_FORMAT_PNG, 75, grid, 0, 0, grey.tables(), test::capture_log,
                                nullptr),
                  0);
        test::Image img;
        ASSERT_TRUE(test::read_png(wav + ".png", img));
        ASSERT_EQ(img.width, 406);  // 61 / 0.15
        std::vector<int> white_columns;
        for (int x = 0; x < img.width; ++x) {
            bool white = true;
            for (int y = 0; y < img.height && white; ++y) white = img.at(x, y).r == 255 && img.at(x, y).b == 255;
            if (white) white_columns.push_back(x);
        }
        if (grid) {
            // dt = 61 × 500 / 406 = 75.12: the sum first passes 30000 at column 399.
            EXPECT_EQ(white_columns, std::vector<int>{399});
            // bin = 3.906 Hz: 256 × bin = 1000 Hz, a blended row at 255.
            EXPECT_EQ(img.at(10, 255).r, 127);
            EXPECT_EQ(img.at(10, 254).r, 0);
            EXPECT_EQ(img.at(10, 256).r, 0);
            // A 10-second column (t passes 5000 at column 66) is blended whole.
            EXPECT_EQ(img.at(66, 500).r, 127);
            EXPECT_EQ(img.at(67, 500).r, 0);
        } else {
            EXPECT_TRUE(white_columns.empty());
            for (int i = 0; i < img.width * img.height * 3; ++i) ASSERT_EQ(img.rgb[i], 0);
        }
    }
}

}  // namespace
}  // namespace tolvek::convert
