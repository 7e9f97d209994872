#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <sstream>
#include <string>

#include "frontend/settings.h"
#include "support/fixtures.h"

using tolvek::frontend::kSettingsFileLimitBytes;
using tolvek::frontend::max_jobs;
using tolvek::frontend::palette_warning;
using tolvek::frontend::parse_settings;
using tolvek::frontend::read_config_file;
using tolvek::frontend::read_int;
using tolvek::frontend::read_settings;
using tolvek::frontend::Settings;
using tolvek::test::TempDir;
using tolvek::test::write_file;

namespace {

// Every field at once, so a rule about one key also shows it left the others alone.
std::string describe(const Settings& s) {
    std::ostringstream o;
    o << "quality=" << s.quality << " recursive=" << s.recursive << " grid=" << s.grid << " local=" << s.local
      << " verbose=" << s.verbose << " output=" << s.output << " palette=" << s.palette << " format=" << (s.format == tolvek::image::FileType::Jpeg ? 2 : 4)
      << " jobs=" << s.jobs;
    return o.str();
}

// The defaults with some fields replaced, in describe()'s words.
std::string expect(const std::string& changes = "") {
    std::string d = describe(Settings{});
    std::istringstream words(changes);
    for (std::string w; words >> w;) {
        const std::string key = w.substr(0, w.find('=') + 1);
        const std::size_t at = d.find(" " + key) != std::string::npos ? d.find(" " + key) + 1 : d.find(key);
        const std::size_t end = d.find(' ', at);
        d.replace(at, end == std::string::npos ? std::string::npos : end - at, w);
    }
    return d;
}

struct Case {
    const char* what;
    std::string text;
    std::string changes;  // fields that differ from the defaults
};

class SettingsRules : public testing::TestWithParam<Case> {};

TEST_P(SettingsRules, Table) {
    const Case& c = GetParam();
    EXPECT_EQ(describe(parse_settings(c.text)), expect(c.changes)) << c.what;
}

const std::string kLongPalette = std::string(300, 'p') + ".pal";

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsRules,
    testing::Values(
        Case{"empty file", "", ""},
        Case{"every key", "[general]\nquality=50\nrecursive=1\ngrid=0\nlocal=1\nverbose=2\noutput=jpg\npalette=a.pal\njobs=3\n",
             "quality=50 recursive=1 grid=0 local=1 verbose=2 output=jpg palette=a.pal format=2 jobs=3"},
        Case{"key outside any section", "quality=50\n", ""},
        Case{"other section", "[other]\nquality=50\n", ""},
        Case{"names ignore case", "[GeNeRaL]\nQUALITY=50", "quality=50"},
        Case{"blanks around names, values and in brackets", "[  general\t]\n \tquality \t= \t50 \t\n", "quality=50"},
        Case{"carriage returns", "[general]\r\nquality=50\r\ngrid=0\r\n", "quality=50 grid=0"},
        Case{"byte-order mark", "\xEF\xBB\xBF[general]\nquality=50\n", "quality=50"},
        Case{"text after the bracket", "[general] ; main\nquality=50\n", "quality=50"},
        Case{"section name with inner text differs", "[general2]\nquality=50\n", ""},
        Case{"comment with ;", "[general]\n;quality=20\nquality=30\n", "quality=30"},
        Case{"comment with #", "[general]\n#quality=20\n", ""},
        Case{"indented comment", "[general]\n  ;quality=20\n", ""},
        Case{"line without =", "[general]\nquality 20\nquality=30\n", "quality=30"},
        Case{"first occurrence counts", "[general]\nquality=40\nquality=60\n", "quality=40"},
        Case{"first occurrence across repeated sections",
             "[general]\nquality=40\n[other]\ngrid=0\n[general]\nquality=60\ngrid=0\n", "quality=40 grid=0"},
        Case{"key in another section first", "[other]\nquality=20\n[general]\nquality=30\n", "quality=30"},
        Case{"empty value gives the default", "[general]\nquality=\ngrid=\noutput=\npalette=\n", ""},
        Case{"an empty first occurrence still counts", "[general]\nquality=\nquality=50\n", ""},
        Case{"empty quotes give the default", "[general]\noutput=\"\"\npalette=\"\"\n", ""},
        Case{"quoted integer", "[general]\nquality=\"60\"\n", "quality=60"},
        // integers read like atoi
        Case{"trailing text ignored", "[general]\nquality=50abc\n", "quality=50"},
        Case{"no digits read 0", "[general]\nquality=abc\ngrid=x1\n", "quality=10 grid=0"},
        Case{"plus sign", "[general]\nquality=+30\n", "quality=30"},
        Case{"minus sign", "[general]\nquality=-30\n", "quality=10"},
        Case{"huge numbers saturate", "[general]\nquality=99999999999999\nverbose=-99999999999\n",
             "quality=100 verbose=0"},
        // quality clamped
        Case{"quality below 10", "[general]\nquality=5\n", "quality=10"},
        Case{"quality negative", "[general]\nquality=-3\n", "quality=10"},
        Case{"quality above 100", "[general]\nquality=500\n", "quality=100"},
        Case{"quality bounds", "[general]\nquality=100\n", "quality=100"},
        // flags normalised
        Case{"flags nonzero", "[general]\nrecursive=5\ngrid=-1\nlocal=2\n", "recursive=1 local=1"},
        Case{"flags zero", "[general]\nrecursive=0\ngrid=0\nlocal=no\n", "grid=0"},
        // verbose clamped to 0..2; jobs below 0 is the default, 0 (one job per usable core)
        Case{"verbose above 2", "[general]\nverbose=3\n", "verbose=2"},
        Case{"verbose below 0", "[general]\nverbose=-1\n", "verbose=0"},
        Case{"verbose 0", "[general]\nverbose=0\n", "verbose=0"},
        Case{"jobs below 0", "[general]\njobs=-1\n", "jobs=0"},
        Case{"jobs 0", "[general]\njobs=0\n", "jobs=0"},
        Case{"jobs 1", "[general]\njobs=1\n", "jobs=1"},
        // output
        Case{"JPG", "[general]\noutput=JPG\n", "output=JPG format=2"},
        Case{"Jpeg", "[general]\noutput=Jpeg\n", "output=Jpeg format=2"},
        Case{"jpeg2000 is cut to jpeg", "[general]\noutput=jpeg2000\n", "output=jpeg format=2"},
        Case{"quotes go before the cut", "[general]\noutput=\"jpg\"\n", "output=jpg format=2"},
        Case{"quoted long value", "[general]\noutput=\"jpeg2000\"\n", "output=jpeg format=2"},
        Case{"unmatched quote stays", "[general]\noutput=\"jpg\n", "output=\"jpg"},
        Case{"bmp", "[general]\noutput=bmp\n", "output=bmp"},
        Case{"jpgx", "[general]\noutput=jpgx\n", "output=jpgx"},
        Case{"PNG", "[general]\noutput=PNG\n", "output=PNG"},
        // palette
        Case{"palette never cut", "[general]\npalette=" + kLongPalette + "\n", "palette=" + kLongPalette},
        Case{"palette with =", "[general]\npalette=a=b.pal\n", "palette=a=b.pal"}));

TEST(SettingsRules, QuotedValueKeepsInnerBlanks) {
    EXPECT_EQ(parse_settings("[general]\npalette=\" my pal.pal \"\n").palette, " my pal.pal ");
    EXPECT_EQ(parse_settings("[general]\npalette = my pal.pal \n").palette, "my pal.pal");
}

TEST(SettingsRules, LastLineWithoutNewlineAndNulBytes) {
    EXPECT_EQ(parse_settings("[general]\ngrid=0").grid, 0);
    EXPECT_EQ(parse_settings(std::string_view("[general]\nquality=6\0" "0\n", 22)).quality, 10);  // reads "6", clamped
}

TEST(ReadInt, LikeAtoi) {
    struct Case {
        const char* text;
        int value;
    };
    for (const Case& c : {Case{"", 0}, Case{"12", 12}, Case{"  12", 12}, Case{"-12", -12}, Case{"+12", 12},
                          Case{"12abc", 12}, Case{"abc", 0}, Case{"- 1", 0}, Case{"1 2", 1}, Case{"0x10", 0},
                          Case{"2147483647", INT_MAX}, Case{"2147483648", INT_MAX}, Case{"-2147483648", INT_MIN},
                          Case{"-2147483649", INT_MIN}, Case{"99999999999999999999999", INT_MAX}})
        EXPECT_EQ(read_int(c.text), c.value) << "'" << c.text << "'";
}

TEST(ReadSettings, FromAFile) {
    TempDir dir;
    write_file(dir.file("Tolvek_Pre.ini"), "[general]\r\nquality=90\r\noutput=jpeg\r\n");
    EXPECT_EQ(describe(read_settings(dir.file("Tolvek_Pre.ini"))), expect("quality=90 output=jpeg format=2"));
}

TEST(ReadSettings, MissingFileOrADirectoryGiveDefaults) {
    TempDir dir;
    EXPECT_EQ(describe(read_settings(dir.file("Tolvek_Pre.ini"))), expect());
    mkdir(dir.file("Tolvek_Pre.ini").c_str(), 0777);
    EXPECT_EQ(describe(read_settings(dir.file("Tolvek_Pre.ini"))), expect());
}

// Each mistake is one warning, in line order, naming the file, the line, the
// key and the value used; what is used is what the rules above give.
struct WarningCase {
    std::string text;
    std::string warnings;  // joined by "|"
};

class SettingsWarnings : public testing::TestWithParam<WarningCase> {};

TEST_P(SettingsWarnings, Table) {
    std::vector<std::string> warnings;
    tolvek::frontend::SettingLines lines;
    const Settings s = parse_settings(GetParam().text, "my.ini", &warnings, &lines);
    if (auto unused = unused_outdir_warning(s, lines)) warnings.push_back(*unused);
    std::string joined;
    for (const std::string& w : warnings) joined += (joined.empty() ? "" : "|") + w;
    EXPECT_EQ(joined, GetParam().warnings) << GetParam().text;
}

const std::string kCap = std::to_string(max_jobs());
// The warning about an outdir without local=1, at "LINE: outdir=VALUE".
std::string unused_outdir(const std::string& at) {
    return "tolvek: my.ini:" + at + " is used only with local=1; the pictures go beside the sources (-o DIR puts "
           "them under DIR)";
}
// The warning about range=`value` on line 2.
std::string bad_range(const std::string& value) {
    return "tolvek: my.ini:2: range=" + value +
           " is not classic|LOW:HIGH with -300 <= LOW, HIGH <= 50 and HIGH - LOW >= 1; using classic";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsWarnings,
    testing::Values(
        WarningCase{"[general]\nquality=50\nrecursive=1\ngrid=0\nverbose=2\noutput=JPG\njobs=0\npalette=\n", ""},
        WarningCase{"[general]\nverbose=3\n", "tolvek: my.ini:2: verbose=3 is outside 0..2; using 2"},
        WarningCase{"[general]\nverbose=-1\n", "tolvek: my.ini:2: verbose=-1 is outside 0..2; using 0"},
        WarningCase{"[general]\njobs=-5\n", "tolvek: my.ini:2: jobs=-5 is below 0; using 0"},
        WarningCase{"[other]\ncolour=red\nquality 1\n;x\n# y\n", ""},
        WarningCase{"[general]\nquality=50\ngrid=yes\n", "tolvek: my.ini:3: grid=yes is not a number; using 0"},
        WarningCase{"[general]\njobs=two\n", "tolvek: my.ini:2: jobs=two is not a number; using 0"},
        WarningCase{"[general]\nquality=50abc\n", "tolvek: my.ini:2: quality=50abc is not a number; using 50"},
        WarningCase{"[general]\noutput=webp\n", "tolvek: my.ini:2: output=webp is not one of png, jpg, jpeg; using png"},
        WarningCase{"[general]\noutput=\"jpeg2000\"\n",
                    "tolvek: my.ini:2: output=jpeg2000 is not one of png, jpg, jpeg; using jpeg"},
        WarningCase{"[general]\nqualty=50\n", "tolvek: my.ini:2: unknown key qualty (did you mean quality?); ignored"},
        WarningCase{"[general]\nqaulity=50\n", "tolvek: my.ini:2: unknown key qaulity (did you mean quality?); ignored"},
        WarningCase{"[general]\nrcursve=1\n", "tolvek: my.ini:2: unknown key rcursve (did you mean recursive?); ignored"},
        WarningCase{"[general]\nrcrsve=1\n", "tolvek: my.ini:2: unknown key rcrsve; ignored"},
        WarningCase{"[general]\ncolour=red\n", "tolvek: my.ini:2: unknown key colour; ignored"},
        WarningCase{"[general]\nquality=500\n", "tolvek: my.ini:2: quality=500 is outside 10..100; using 100"},
        WarningCase{"[general]\nlocal=5\n", "tolvek: my.ini:2: local=5 is not 0 or 1; using 1"},
        WarningCase{"[general]\nprogress=yes\n", "tolvek: my.ini:2: progress=yes is not a number; using 0"},
        WarningCase{"[general]\njobs=100000\n",
                    "tolvek: my.ini:2: jobs=100000 is more than 4 per processor core; using " + kCap},
        WarningCase{"[general]\nquality=40\n\nQuality=60\n",
                    "tolvek: my.ini:4: Quality=60 repeats the key of line 2; ignored"},
        WarningCase{"[general]\nrange=-120:0\nscale=LOG\nframe=1\n", ""},
        // outdir counts only with local=1.
        WarningCase{"[general]\noutdir=out\n", unused_outdir("2: outdir=out")},
        WarningCase{"[general]\nlocal=0\n\nOUTDIR=\"my out\"\n", unused_outdir("4: outdir=my out")},
        WarningCase{"[general]\noutdir=out\nlocal=1\n", ""}, WarningCase{"[general]\noutdir=.\n", ""},
        WarningCase{"[general]\noutdir=\n", ""},
        WarningCase{"[general]\nrange=0:-120\n", bad_range("0:-120")},
        // A range out of bounds (parse_range's table touches each bound).
        WarningCase{"[general]\nrange=-300:50\n", ""},
        WarningCase{"[general]\nrange=-1e30:0\n", bad_range("-1e30:0")},
        WarningCase{"[general]\nrange=CLASSIC\nshard=SLURM\nchannels=Split\n", ""},
        WarningCase{"[general]\ncoverage=FULL\nchannels=split\nupdate=1\nreport=r-%a.csv\nshard=1/4\n", ""},
        // A bad report name or shard stops the run at start-up instead.
        WarningCase{"[general]\nreport=r.json\nshard=1/0\n", ""},
        WarningCase{"[general]\ncoverage=all\n", "tolvek: my.ini:2: coverage=all is not one of sampled, full; using sampled"},
        WarningCase{"[general]\nscale=mel\n", "tolvek: my.ini:2: scale=mel is not one of linear, log; using linear"},
        WarningCase{"\xEF\xBB\xBF[general]\r\ngrid=on\r\nquality 20\r\n",
                    "tolvek: my.ini:2: grid=on is not a number; using 0|"
                    "tolvek: my.ini:3: \"quality 20\" is not key=value; ignored"}));

TEST(ReadSettings, ConfigFileMustBeARegularFile) {
    TempDir dir;
    Settings s;
    std::vector<std::string> warnings;
    const tolvek::Status missing = read_config_file(dir.file("none.ini"), s, &warnings);
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.message, "tolvek: --config " + dir.file("none.ini") + ": No such file or directory");
    EXPECT_FALSE(read_config_file(dir.path(), s, &warnings));
    write_file(dir.file("a.ini"), "[general]\ngrid=x\n");
    ASSERT_TRUE(read_config_file(dir.file("a.ini"), s, &warnings));
    EXPECT_EQ(s.grid, 0);
    EXPECT_EQ(warnings.size(), 1u);
}

// A settings file past 1 MiB is read to its last whole line within the
// first MiB, with a warning; one of exactly 1 MiB is read whole.
TEST(ReadSettings, OnlyTheFirstMiBIsRead) {
    TempDir dir;
    const std::string path = dir.file("big.ini");
    const std::string head = "[general]\n", last = "quality=50\n";
    const auto padded = [&](std::size_t size) {  // `last` ends at `size`
        return head + std::string(size - head.size() - last.size() - 1, ';') + "\n" + last;
    };
    const std::string mib = padded(kSettingsFileLimitBytes);
    const std::string warning = "tolvek: " + path + ": larger than 1 MiB; the lines after its first MiB are ignored";
    struct Case {
        std::string text;
        std::string described;
        std::string warnings;
    };
    for (const Case& c : {Case{mib, expect("quality=50"), ""}, Case{mib + "grid=0\n", expect("quality=50"), warning},
                          // cut after "quality=5": the partial line is dropped, not read as 5
                          Case{padded(kSettingsFileLimitBytes + 1), expect(), warning}}) {
        write_file(path, c.text);
        std::vector<std::string> warnings;
        EXPECT_EQ(describe(read_settings(path, &warnings)), c.described) << c.text.size();
        EXPECT_EQ(warnings.empty() ? "" : warnings.front(), c.warnings) << c.text.size();
    }
}

TEST(PaletteWarning, OnlyForAPaletteThatCannotBeUsed) {
    TempDir dir;
    write_file(dir.file("a.pal"), "0,0,0,0\n");
    mkdir(dir.file("d.pal").c_str(), 0777);
    EXPECT_EQ(palette_warning("a.pal", dir.file("a.pal"), true), std::nullopt);
    EXPECT_EQ(palette_warning("tolvek_color.pal", dir.file("none.pal"), false), std::nullopt);
    EXPECT_EQ(palette_warning("x.pal", dir.file("none.pal"), true),
              "tolvek: palette x.pal: No such file or directory; using the built-in colours");
    EXPECT_EQ(palette_warning("d.pal", dir.file("d.pal"), false),
              "tolvek: palette d.pal: Is a directory; using the built-in colours");
}

}  // namespace
