#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "palette/shipped.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;
using tolvek::palette::resolve_palette;
using tolvek::palette::shipped_palette_folders;
using tolvek::test::TempDir;

// An installed tree: <prefix>/bin/tolvek and <prefix>/share/tolvek/palettes.
TEST(ShippedPalette, NamesResolveBesideAnInstalledProgram) {
    TempDir prefix;
    fs::create_directories(prefix.file("bin"));
    fs::create_directories(prefix.file("share/tolvek/palettes"));
    tolvek::test::write_file(prefix.file("share/tolvek/palettes/fire.pal"), "0,0,0,0\n255,255,255,255\n");
    tolvek::test::write_file(prefix.file("mine.pal"), "0,0,0,0\n");
    const auto folders = shipped_palette_folders(prefix.file("bin"));
    const std::string shipped = prefix.file("bin/../share/tolvek/palettes/fire.pal");
    const struct {
        std::string value, expected;
    } cases[] = {
        {"fire", shipped},
        {"fire.pal", shipped},
        {"ice", "ice"},                                     // not shipped here
        {"palettes/fire", "palettes/fire"},                 // a path, not a name
        {prefix.file("mine.pal"), prefix.file("mine.pal")}, // an existing file wins
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(resolve_palette(c.value, folders), c.expected) << c.value;
}

// The build tree's program finds the repository's palettes/.
TEST(ShippedPalette, TheBuiltProgramFindsTheRepositorysPalettes) {
    const std::string build_dir = fs::path(TOLVEK_PROGRAM).parent_path().string();
    const std::string found = resolve_palette("grey", shipped_palette_folders(build_dir));
    ASSERT_NE(found, "grey");
    EXPECT_TRUE(fs::equivalent(found, std::string(TOLVEK_SOURCE_DIR) + "/palettes/grey.pal")) << found;
}

// An existing file named like a shipped palette is the user's, not ours.
TEST(ShippedPalette, AnExistingFileIsKeptAsIs) {
    TempDir dir;
    tolvek::test::write_file(dir.file("fire"), "0,1,2,3\n");
    EXPECT_EQ(resolve_palette(dir.file("fire")), dir.file("fire"));
    EXPECT_EQ(resolve_palette("no-such-palette"), "no-such-palette");
}
