#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/fixtures.h"
#include "walker/wildcard.h"

using tolvek::walker::list_matching;
using tolvek::walker::listing_directory;
using tolvek::walker::split_pattern;
using tolvek::walker::wildcard_match;
using tolvek::test::TempDir;
using tolvek::test::write_file;

namespace {

struct MatchCase {
    const char* pattern;
    const char* name;
    bool match;
};

class WildcardMatch : public testing::TestWithParam<MatchCase> {};

TEST_P(WildcardMatch, Table) {
    const MatchCase& c = GetParam();
    EXPECT_EQ(wildcard_match(c.pattern, c.name), c.match) << "pattern '" << c.pattern << "', name '" << c.name << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WildcardMatch,
    testing::Values(
        // star
        MatchCase{"*", "song.mp3", true}, MatchCase{"*", "", true}, MatchCase{"*.mp3", "song.mp3", true},
        MatchCase{"*.mp3", "song.mp3.png", false}, MatchCase{"*.mp3", ".mp3x", false},
        MatchCase{"song*", "song", true}, MatchCase{"*song", "song", true}, MatchCase{"s*g", "sg", true},
        MatchCase{"a*b*c", "aXbYbZc", true}, MatchCase{"a*b*c", "aXcYb", false},
        MatchCase{"*a*b*c*", "xxaxxbxxcxx", true}, MatchCase{"*a*b*c*", "xxaxxcxxbxx", false},
        MatchCase{"**", "abc", true}, MatchCase{"a**b", "ab", true}, MatchCase{"*ab", "aab", true},
        MatchCase{"*aab", "aaab", true}, MatchCase{"*.*", "noext", false},
        // question mark
        MatchCase{"?", "a", true}, MatchCase{"?", "", false}, MatchCase{"?", "ab", false},
        MatchCase{"s?ng.*", "song.wav", true}, MatchCase{"*?", "", false}, MatchCase{"*?", "a", true},
        MatchCase{"a?b", "a*b", true},
        // everything else is literal
        MatchCase{"Song [Live].mp3", "Song [Live].mp3", true}, MatchCase{"[abc].mp3", "a.mp3", false},
        MatchCase{"[a-z]*", "b.wav", false}, MatchCase{"*[Live]*", "Song [Live].mp3", true},
        MatchCase{"a\\*", "a\\bc", true}, MatchCase{"a\\*", "a*", false}, MatchCase{"a\\?", "a?", false},
        MatchCase{"{a,b}.wav", "a.wav", false}, MatchCase{"with space*", "with space.wav", true},
        // case-sensitive
        MatchCase{"*.mp3", "song.MP3", false}, MatchCase{"Song.wav", "song.wav", false},
        // a leading dot only explicitly
        MatchCase{"*", ".hidden", false}, MatchCase{"?hidden", ".hidden", false}, MatchCase{"*hidden", ".hidden", false},
        MatchCase{".*", ".hidden", true}, MatchCase{".hid*", ".hidden", true}, MatchCase{"*.wav", "a.wav", true},
        // empty pattern
        MatchCase{"", "", true}, MatchCase{"", "a", false}));

TEST(WildcardMatch, ManyStarsAgainstALongNameEnd) {
    // Exponential backtracking would never finish this.
    std::string pattern;
    for (int i = 0; i < 60; ++i) pattern += "*a";
    pattern += "*b";
    const std::string name(5000, 'a');
    EXPECT_FALSE(wildcard_match(pattern, name));
    EXPECT_TRUE(wildcard_match(pattern, name + "b"));
}

TEST(SplitPattern, DirectoryPartKeepsItsSlash) {
    struct Case {
        const char* pattern;
        const char* dir;
        const char* name;
        const char* listed;
    };
    for (const Case& c : {Case{"music/live/*.mp3", "music/live/", "*.mp3", "music/live/"},
                          Case{"*.mp3", "", "*.mp3", "."}, Case{"./*", "./", "*", "./"},
                          Case{"/x", "/", "x", "/"}, Case{"d/", "d/", "", "d/"},
                          Case{"*/x.wav", "*/", "x.wav", "*/"}}) {
        const auto parts = split_pattern(c.pattern);
        EXPECT_EQ(parts.dir, c.dir) << c.pattern;
        EXPECT_EQ(parts.name, c.name) << c.pattern;
        EXPECT_EQ(listing_directory(c.pattern), c.listed) << c.pattern;
    }
}

class Listing : public testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"b.wav", "a.wav", "B.wav", "Song [Live].mp3", "with space.wav", ".hidden.wav",
                                 "z.wav", "\xc3\xa9t\xc3\xa9.wav"})
            write_file(dir.file(name), "x");
        for (const char* name : {"sub", ".git"}) mkdir(dir.file(name).c_str(), 0777);
    }
    std::vector<std::string> list(const std::string& last) { return list_matching(dir.path() + "/" + last).names; }
    TempDir dir;
};

TEST_F(Listing, StarListsVisibleEntriesInByteOrder) {
    const std::vector<std::string> expected = {"B.wav",          "Song [Live].mp3", "a.wav", "b.wav", "sub",
                                               "with space.wav", "z.wav",           "\xc3\xa9t\xc3\xa9.wav"};
    EXPECT_EQ(list("*"), expected);
}

TEST_F(Listing, HiddenEntriesOnlyWhenAskedForAndNeverDotOrDotDot) {
    EXPECT_EQ(list(".*"), (std::vector<std::string>{".git", ".hidden.wav"}));
    EXPECT_EQ(list("*.wav"), (std::vector<std::string>{"B.wav", "a.wav", "b.wav", "with space.wav", "z.wav",
                                                      "\xc3\xa9t\xc3\xa9.wav"}));
}

TEST_F(Listing, NamesWithoutWildcardsListExactlyThatEntry) {
    EXPECT_EQ(list("Song [Live].mp3"), (std::vector<std::string>{"Song [Live].mp3"}));
    EXPECT_EQ(list("with space.wav"), (std::vector<std::string>{"with space.wav"}));
    EXPECT_EQ(list("sub"), (std::vector<std::string>{"sub"}));
    EXPECT_EQ(list(".hidden.wav"), (std::vector<std::string>{".hidden.wav"}));
    EXPECT_TRUE(list("missing.wav").empty());
    EXPECT_TRUE(list("A.wav").empty());
    EXPECT_TRUE(list(".").empty());
    EXPECT_TRUE(list("..").empty());
    EXPECT_TRUE(list("").empty());
}

TEST_F(Listing, BracketsAreLiteral) {
    EXPECT_EQ(list("*[Live]*"), (std::vector<std::string>{"Song [Live].mp3"}));
    EXPECT_TRUE(list("[ab].wav").empty());
}

TEST_F(Listing, WildcardsInDirectoryPartsAreNotExpanded) {
    mkdir(dir.file("d*").c_str(), 0777);
    mkdir(dir.file("dd").c_str(), 0777);
    write_file(dir.file("d*/x.wav"), "x");
    write_file(dir.file("dd/y.wav"), "x");
    EXPECT_EQ(list("d*/*"), (std::vector<std::string>{"x.wav"}));
    EXPECT_TRUE(list("s?b/*").empty());
}

TEST_F(Listing, MissingDirectoryListsNothing) {
    EXPECT_TRUE(list("nowhere/*").empty());
    EXPECT_TRUE(list("a.wav/*").empty());
}

}  // namespace
