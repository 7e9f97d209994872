#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "palette/palette.h"
#include "support/fixtures.h"
#include "tolvek/tolvek.h"

namespace fs = std::filesystem;
using tolvek::test::TempDir;
using tolvek::test::TestPalette;

namespace {

struct Colour {
    int r, g, b;
    friend bool operator==(const Colour&, const Colour&) = default;
};
std::ostream& operator<<(std::ostream& os, const Colour& c) {
    return os << "(" << c.r << "," << c.g << "," << c.b << ")";
}

struct Loaded {
    TestPalette tables;
    Colour at(int i) const { return {tables.red[i], tables.green[i], tables.blue[i]}; }
};

// Loads into tables prefilled with `fill`, so that an entry left unwritten shows.
Loaded load(const char* path, unsigned char fill = 0x5A) {
    Loaded out;
    out.tables.red.fill(fill);
    out.tables.green.fill(fill);
    out.tables.blue.fill(fill);
    load_palette(path, out.tables.tables());
    return out;
}

Loaded load_lines(const TempDir& dir, const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    const std::string path = dir.file("test.pal");
    tolvek::test::write_file(path, text);
    return load(path.c_str());
}

// The built-in gradient from black to pale yellow, entry by entry.
void expect_built_in(const Loaded& p, const std::string& what) {
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(p.at(i), (Colour{254 * i / 255, 240 * i / 255, 160 * i / 255})) << what << ", entry " << i;
    EXPECT_EQ(p.at(0), (Colour{0, 0, 0})) << what;
    EXPECT_EQ(p.at(128), (Colour{127, 120, 80})) << what;
    EXPECT_EQ(p.at(255), (Colour{254, 240, 160})) << what;
}

}  // namespace

TEST(PaletteLine, AcceptsExactlyFourFieldsInRange) {
    const struct {
        const char* line;
        int accepted;
        int index = 0, red = 0, green = 0, blue = 0;
    } cases[] = {
        {"128,255,0,0", 1, 128, 255, 0, 0},
        {"255,255,255,255", 1, 255, 255, 255, 255},
        {" 7, 8, 9, 10", 1, 7, 8, 9, 10},
        {"\t12,\t34,56 ,78", 1, 12, 34, 56, 78},
        {"0,0,0,0\n", 1, 0, 0, 0, 0},
        {"1,2,3,4\r\n", 1, 1, 2, 3, 4},
        {"+5,1,2,3", 1, 5, 1, 2, 3},
        {"5x,1,2,3", 1, 5, 1, 2, 3},
        {"1 2,3,4,5", 1, 1, 3, 4, 5},
        {"-0,0,0,0", 1, 0, 0, 0, 0},
        {",,,", 1, 0, 0, 0, 0},  // a field without digits reads 0
        {"10,20,30", 0},
        {"1,2,3,4,5", 0},
        {"1,2,3,4,", 0},
        {"0,0,0,256", 0},
        {"256,0,0,0", 0},
        {"-1,0,0,0", 0},
        {"0,-1,0,0", 0},
        {"99999999999999999999,0,0,0", 0},
        {"", 0},
        {"\n", 0},
        {"# comment", 0},
    };
    for (const auto& c : cases) {
        std::string line = c.line;
        unsigned char v[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(parse_palette_line(line.data(), &v[0], &v[1], &v[2], &v[3]), c.accepted) << "'" << c.line << "'";
        const int expected[4] = {c.index, c.red, c.green, c.blue};
        for (int k = 0; k < 4; ++k) {
            // A rejected line leaves the destinations alone.
            EXPECT_EQ(v[k], c.accepted ? expected[k] : 0xEE) << "'" << c.line << "' field " << k;
        }
    }
}

TEST(PaletteLine, TurnsEachCommaItPassesIntoATerminator) {
    const struct {
        const char* line;
        std::vector<std::size_t> commas;
    } cases[] = {
        {"12,34,56,78", {2, 5, 8}},
        {"10,20,30", {2, 5}},
        {"1,2,3,4,5", {1, 3, 5}},
    };
    for (const auto& c : cases) {
        std::string line = c.line;
        parse_palette_line(line.data(), nullptr, nullptr, nullptr, nullptr);
        for (std::size_t at : c.commas) EXPECT_EQ(line[at], '\0') << c.line << " at " << at;
        EXPECT_EQ(line[0], c.line[0]) << c.line;
    }
    std::string line = "12,34,56,78";
    parse_palette_line(line.data(), nullptr, nullptr, nullptr, nullptr);
    EXPECT_STREQ(line.c_str(), "12");
    EXPECT_STREQ(line.c_str() + 3, "34");
    EXPECT_STREQ(line.c_str() + 6, "56");
    EXPECT_STREQ(line.c_str() + 9, "78");
}

TEST(PaletteLine, WritesOnlyToTheDestinationsGiven) {
    std::string line = "1,2,3,4";
    EXPECT_EQ(parse_palette_line(line.data(), nullptr, nullptr, nullptr, nullptr), 1);
    line = "1,2,3,4";
    unsigned char green = 0;
    EXPECT_EQ(parse_palette_line(line.data(), nullptr, nullptr, &green, nullptr), 1);
    EXPECT_EQ(green, 3);
    line = "1,2,3";
    EXPECT_EQ(parse_palette_line(line.data(), nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(Palette, FallsBackToTheBuiltInGradient) {
    TempDir dir;
    expect_built_in(load(dir.file("missing.pal").c_str()), "missing file");
    expect_built_in(load(nullptr), "no path");
    expect_built_in(load(dir.path().c_str()), "a directory");
    const struct {
        const char* what;
        std::vector<std::string> lines;
    } cases[] = {
        {"empty file", {}},
        {"a single accepted line", {"0,0,0,0"}},
        {"one accepted line among rejected ones", {"# ramp", "0,255,255,255", "10,20,30", "1,2,3,4,5"}},
    };
    for (const auto& c : cases) expect_built_in(load_lines(dir, c.lines), c.what);
}

TEST(Palette, WritesEveryEntry) {
    TempDir dir;
    const std::string path = dir.file("p.pal");
    tolvek::test::write_file(path, "0,0,0,0\n200,10,20,30\n100,40,50,60\n255,1,2,3\n");
    const Loaded zeros = load(path.c_str(), 0x00);
    const Loaded ones = load(path.c_str(), 0xFF);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(zeros.at(i), ones.at(i)) << "entry " << i;
}

TEST(Palette, InterpolatesBetweenControlPoints) {
    TempDir dir;
    const struct {
        const char* what;
        std::vector<std::string> lines;
        std::map<int, Colour> entries;
    } cases[] = {
        {"black, red, white",
         {"0,0,0,0", "128,255,0,0", "255,255,255,255"},
         {{0, {0, 0, 0}}, {64, {127, 0, 0}}, {127, {253, 0, 0}}, {128, {255, 0, 0}},
          {192, {255, 128, 128}}, {255, {255, 255, 255}}}},
        {"ends forced to 0 and 255",
         {"10,100,100,100", "200,200,200,200"},
         {{0, {100, 100, 100}}, {5, {101, 101, 101}}, {255, {200, 200, 200}}}},
        {"a falling channel truncates toward zero",
         {"0,10,10,10", "3,0,0,0", "255,0,0,0"},
         {{1, {7, 7, 7}}, {2, {4, 4, 4}}, {3, {0, 0, 0}}}},
        {"a descending pair is skipped and later pairs overwrite",
         {"0,0,0,0", "200,200,100,50", "100,0,255,0", "255,255,255,255"},
         {{50, {50, 25, 12}}, {99, {99, 49, 24}}, {100, {0, 255, 0}}, {150, {82, 255, 82}},
          {201, {166, 255, 166}}, {255, {255, 255, 255}}}},
        {"two points at one index: the second one's colour",
         {"0,0,0,0", "128,255,0,0", "128,0,0,255", "255,255,255,255"},
         {{127, {253, 0, 0}}, {128, {0, 0, 255}}, {129, {2, 2, 255}}}},
        {"comments and rejected lines between points",
         {"# black to white", "", "0,0,0,0", "1,2,3", "# a, b, c, d, e", "255,255,255,255"},
         {{0, {0, 0, 0}}, {100, {100, 100, 100}}, {255, {255, 255, 255}}}},
    };
    for (const auto& c : cases) {
        const Loaded p = load_lines(dir, c.lines);
        for (const auto& [i, colour] : c.entries) EXPECT_EQ(p.at(i), colour) << c.what << ", entry " << i;
    }
}

TEST(Palette, ReadsALongLineInPiecesOf79Characters) {
    TempDir dir;
    const std::string junk(79, 'x');
    const std::string spaces(71, ' ');  // "0,20,30," + these = 79
    const struct {
        const char* what;
        std::string long_line;
        Colour entry0;
    } cases[] = {
        // Rejected as a whole line; its second piece alone is a control point.
        {"second piece is a point", junk + "0,10,20,30", {10, 20, 30}},
        // The first piece ends before the last field's digits: accepted with blue 0.
        {"first piece is a point", "0,20,30," + spaces + "40", {20, 30, 0}},
        {"79 characters are one line", "0,20,30,40" + std::string(69, ' '), {20, 30, 40}},
    };
    for (const auto& c : cases) {
        const Loaded p = load_lines(dir, {c.long_line, "255,255,255,255"});
        EXPECT_EQ(p.at(0), c.entry0) << c.what;
        EXPECT_EQ(p.at(255), (Colour{255, 255, 255})) << c.what;
    }
}

TEST(Palette, ReadyPalettesLoadWithTheirPromisedEnds) {
    const fs::path folder = fs::path(TOLVEK_SOURCE_DIR) / "palettes";
    const std::map<std::string, std::pair<Colour, Colour>> promised = {
        {"default.pal", {{0, 0, 0}, {254, 240, 160}}},   {"grey.pal", {{0, 0, 0}, {255, 255, 255}}},
        {"fire.pal", {{0, 0, 0}, {255, 255, 255}}},      {"ice.pal", {{0, 0, 0}, {255, 255, 255}}},
        {"even.pal", {{60, 10, 80}, {250, 230, 40}}},
    };
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() != ".pal") continue;
        const std::string name = entry.path().filename().string();
        found.insert(name);
        std::ifstream in(entry.path());
        std::string line;
        int points = 0;
        while (std::getline(in, line)) {
            EXPECT_LT(line.size(), 80u) << name << ": a line this long is read in pieces";
            const bool comment = !line.empty() && line[0] == '#';
            const int accepted = parse_palette_line(line.data(), nullptr, nullptr, nullptr, nullptr);
            EXPECT_FALSE(comment && accepted) << name << ": a comment reads as a control point";
            points += accepted;
        }
        EXPECT_GE(points, 2) << name << " would silently be the built-in gradient";
        const auto it = promised.find(name);
        ASSERT_NE(it, promised.end()) << name << " has no promised colours here";
        const Loaded p = load(entry.path().c_str());
        EXPECT_EQ(p.at(0), it->second.first) << name;
        EXPECT_EQ(p.at(255), it->second.second) << name;
    }
    for (const auto& [name, ends] : promised) EXPECT_TRUE(found.count(name)) << name << " is missing";
    expect_built_in(load((folder / "default.pal").c_str()), "default.pal");
}
