#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace tolvek {
namespace {

// A C program linked only against libtolvek.so gets its picture with no
// set-up call of ours, the grid included.
TEST(CInterface, PlainCProgramConvertsAFile) {
    test::TempDir dir;
    const std::string wav = dir.file("c.wav");
    test::write_wav(wav, 44100, 1, test::silence(44100, 1, 1.0));
    const test::RunResult r = test::run({TOLVEK_C_CALLER, wav}, dir.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "status 0, lines 251\n");  // 250 progress lines and the saving line
    test::Image img;
    ASSERT_TRUE(test::read_png(wav + ".png", img));
    EXPECT_EQ(img.width, 250);
    // The 2-kHz row over a quiet cell is the grid's blend of black, so the
    // blend table was ready without a set-up call.
    EXPECT_EQ(img.at(100, 92).r, 127);
    EXPECT_EQ(img.at(100, 93).r, 0);
}

TEST(CInterface, OnlyTheTwoEntryPointsAreExported) {
    const test::RunResult r =
        test::run({"sh", "-c", "nm -D --defined-only \"$0\" | awk '$2 ~ /^[TW]$/ {print $3}' | sort", TOLVEK_SHARED_LIBRARY}, ".");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "_process_file\nload_palette\n");
}

}  // namespace
}  // namespace tolvek
