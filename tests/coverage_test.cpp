// Full coverage and split channels as a user sees them in the picture.
#include <gtest/gtest.h>

#include "convert/convert.h"
#include "convert/plan.h"
#include "support/fixtures.h"

namespace tolvek::convert {
namespace {

struct Quiet : Log {
    void line(std::string_view) override {}
    void error(std::string_view) override {}
};

// Converts `path` with a grey palette (level = red), no grid, and reads the PNG back.
test::Image convert(const std::string& path, Coverage coverage, Channels channels, Result* result = nullptr) {
    test::TestPalette grey = test::TestPalette::grey();
    Options o;
    o.grid = false;
    o.palette = &grey;
    o.coverage = coverage;
    o.channels = channels;
    Quiet quiet;
    Result r = convert_file(path, std::nullopt, o, quiet);
    EXPECT_EQ(r.outcome, Outcome::Written) << r.reason;
    if (result) *result = std::move(r);
    test::Image img;
    EXPECT_TRUE(test::read_png(path + ".png", img));
    return img;
}

// One-sample clicks in the part of a column the sampled window skips:
// full coverage shows every one, sampled none.
TEST(Coverage, FullShowsEveryOneSampleClick) {
    test::TempDir dir;
    const std::string wav = dir.file("clicks.wav");
    test::Samples pcm = test::silence(8000, 1, 600.0);
    const ColumnPlan plan = plan_columns(pcm.size() * 2, 600.0f);
    const std::uint64_t column_frames = plan.step / 2;
    std::vector<int> columns;
    for (int k = 0; k < 20; ++k) {
        columns.push_back(25 + 50 * k);
        pcm[columns.back() * column_frames + column_frames * 5 / 8] = 32767;
    }
    test::write_wav(wav, 8000, 1, pcm);
    const struct {
        Coverage coverage;
        int shown;
        double pct;
    } cases[] = {{Coverage::Sampled, 0, 100.0 * 2048 * plan.count / pcm.size()}, {Coverage::Full, 20, 100.0}};
    for (const auto& c : cases) {
        Result r;
        const test::Image img = convert(wav, c.coverage, Channels::Mix, &r);
        int shown = 0;
        for (int x : columns) {
            shown += img.at(x, 900).r > 100;
            EXPECT_LT(img.at(x + 3, 900).r, 20) << x;
        }
        EXPECT_EQ(shown, c.shown);
        EXPECT_NEAR(r.coverage_pct, c.pct, 0.01);
        EXPECT_TRUE(r.codec == "pcm_s16le" && r.bitrate_kbps == 128) << r.codec << " " << r.bitrate_kbps;
    }
}

// Bin 200 at 8 kHz on channel `lit`, negated on the others when `anti`.
test::Samples tone_on(int channels, int lit, bool anti) {
    const test::Samples mono = test::sine(8000, 1, 2.0, 200 * 8000.0 / 2048);
    test::Samples out(mono.size() * channels, 0);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::int16_t v = mono[i / channels];
        if (const auto c = static_cast<int>(i % channels); c == lit || anti) out[i] = static_cast<std::int16_t>(c == lit ? v : -v);
    }
    return out;
}

TEST(Channels, SplitGivesAPanePerChannelUpToEight) {
    test::TempDir dir;
    const struct {
        int channels, lit;
        bool anti;
        Channels mode;
        std::vector<int> bright_panes;  // from the top
    } cases[] = {
        {2, 0, true, Channels::Mix, {}},  // anti-phase cancels in the mean
        {2, 0, true, Channels::Split, {0, 1}},
        {1, 0, false, Channels::Split, {0}},
        {10, 9, false, Channels::Split, {7}},  // the tenth channel is averaged into the last pane
        {10, 3, false, Channels::Split, {3}},
    };
    for (const auto& c : cases) {
        const std::string wav = dir.file("tone.wav");
        test::write_wav(wav, 8000, c.channels, tone_on(c.channels, c.lit, c.anti));
        for (Coverage coverage : {Coverage::Sampled, Coverage::Full}) {
            const test::Image img = convert(wav, coverage, c.mode);
            const int panes = c.mode == Channels::Mix ? 1 : std::min(c.channels, 8);
            ASSERT_EQ(img.height, 1024 * panes) << c.channels;
            for (int p = 0; p < panes; ++p) {
                const bool bright = std::count(c.bright_panes.begin(), c.bright_panes.end(), p) > 0;
                const int level = img.at(100, (panes - 1 - p) * 1024 + 200).r;
                EXPECT_EQ(level > 200, bright) << c.channels << " channels, pane " << p << ": " << level;
                EXPECT_LT(img.at(100, (panes - 1 - p) * 1024 + 600).r, 40) << p;
            }
        }
    }
}

}  // namespace
}  // namespace tolvek::convert
