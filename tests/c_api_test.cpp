#include <gtest/gtest.h>

#include <filesystem>

#include "support/fixtures.h"
#include "tolvek/tolvek.h"

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

// Error lines reach the caller's callback, never standard error: a picture
// that cannot be saved says why through the log.
TEST(CInterface, ErrorLinesGoThroughTheCallback) {
    test::TempDir dir;
    const std::string wav = dir.file("c.wav");
    test::write_wav(wav, 8000, 1, test::silence(8000, 1, 0.5));
    std::filesystem::create_directory(wav + ".png");  // the picture cannot replace a folder
    const test::RunResult r = test::run({TOLVEK_C_CALLER, wav}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out.starts_with("status 10002, lines ")) << r.out;
    test::TestPalette grey = test::TestPalette::grey();
    test::captured_log().clear();
    EXPECT_EQ(_process_file(wav.c_str(), TOLVEK_FORMAT_PNG, 75, 1, 0, 1, grey.tables(), test::capture_log, nullptr),
              TOLVEK_STATUS_SAVE_ERROR);
    const std::string& log = test::captured_log();
    const std::string picture = wav + ".png";
    EXPECT_NE(log.find(", Save error\n" + picture + ": "), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with(": Is a directory\n")) << log;

    // A WAV cut short: its picture is written (status 0), its damage said.
    std::filesystem::remove(picture);
    test::write_wav(wav, 8000, 1, test::silence(8000, 1, 2.0));
    std::filesystem::resize_file(wav, 44 + 8000 * 2);
    test::captured_log().clear();
    EXPECT_EQ(_process_file(wav.c_str(), TOLVEK_FORMAT_PNG, 75, 1, 0, 0, grey.tables(), test::capture_log, nullptr),
              TOLVEK_STATUS_OK);
    EXPECT_TRUE(log.ends_with(wav + ": damaged at 0:01 (truncated: 0:01 of 0:02 present)\n")) << log;
    EXPECT_TRUE(std::filesystem::exists(picture));
}

TEST(CInterface, OnlyTheTwoEntryPointsAreExported) {
    const test::RunResult r =
        test::run({"sh", "-c", "nm -D --defined-only \"$0\" | awk '$2 ~ /^[TW]$/ {print $3}' | sort", TOLVEK_SHARED_LIBRARY}, ".");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "_process_file\nload_palette\n");
}

// The walk, the batch run, the report and the command line belong to the
// program: none of their code is in the library.
TEST(CInterface, TheLibraryHoldsNoProgramCode) {
    const test::RunResult r = test::run(
        {"sh", "-c", "nm -C \"$0\" | grep -c 'tolvek::\\(frontend\\|walker\\|report\\)::'", TOLVEK_SHARED_LIBRARY}, ".");
    EXPECT_EQ(r.out, "0\n") << r.err;
}

}  // namespace
}  // namespace tolvek

namespace tolvek {
namespace {

// A palette file loaded by the C program colours the picture: silence takes
// the colour of entry 0, a loud tone that of entry 255.
TEST(CInterface, PictureTakesItsColoursFromThePaletteFile) {
    test::TempDir dir;
    const std::string pal = dir.file("blue-red.pal");
    test::write_file(pal, "# blue to red\n0,0,0,255\n255,255,0,0\n");
    const std::string wav = dir.file("tone.wav");
    test::write_wav(wav, 44100, 1, test::sine(44100, 1, 1.0, 200 * 44100.0 / 2048, 0.5));
    const test::RunResult r = test::run({TOLVEK_C_CALLER, wav, pal}, dir.path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    test::Image img;
    ASSERT_TRUE(test::read_png(wav + ".png", img));
    const test::Image::Px loud = img.at(100, 200), quiet = img.at(100, 700);
    EXPECT_EQ(loud.r, 255);
    EXPECT_EQ(loud.g, 0);
    EXPECT_EQ(loud.b, 0);
    // Far from the tone the level is near 0: mostly blue.
    EXPECT_LT(quiet.r, 40);
    EXPECT_EQ(quiet.g, 0);
    EXPECT_GT(quiet.b, 215);
    EXPECT_EQ(quiet.r + quiet.b, 255);  // on the file's ramp
}

// What a caller hands in is checked: a palette with a missing table is
// refused, and the quality is clamped rather than cut to 8 bits.
TEST(CInterface, ChecksWhatItIsGiven) {
    test::TempDir dir;
    const std::string wav = dir.file("c.wav");
    test::write_wav(wav, 8000, 1, test::sine(8000, 1, 0.5, 440));
    test::TestPalette grey = test::TestPalette::grey();
    for (int missing = 0; missing < 3; ++missing) {
        unsigned char* tables[3] = {grey.red.data(), grey.green.data(), grey.blue.data()};
        tables[missing] = nullptr;
        EXPECT_EQ(_process_file(wav.c_str(), TOLVEK_FORMAT_PNG, 75, 1, 0, 0, tables, nullptr, nullptr), TOLVEK_STATUS_BAD_ARGUMENT) << missing;
    }
    EXPECT_FALSE(test::exists(wav + ".png"));
    const auto jpeg_at = [&](int quality) {
        EXPECT_EQ(_process_file(wav.c_str(), TOLVEK_FORMAT_JPEG, quality, 1, 0, 0, grey.tables(), nullptr, nullptr), 0);
        return test::read_file(wav + ".jpg");
    };
    const std::string best = jpeg_at(100), worst = jpeg_at(10);
    EXPECT_EQ(jpeg_at(256), best);
    EXPECT_EQ(jpeg_at(1000), best);
    EXPECT_EQ(jpeg_at(-5), worst);
}

}  // namespace
}  // namespace tolvek
