#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "frontend/options.h"

using namespace tolvek::frontend;

namespace {

// What a command line gave, or its usage error, in one line.
std::string parse(std::vector<std::string> args) {
    args.insert(args.begin(), "tolvek");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    const auto result = parse_command_line(static_cast<int>(argv.size()), argv.data());
    if (const auto* error = std::get_if<UsageError>(&result)) return "error: " + error->message;
    const CommandLine& cl = std::get<CommandLine>(result);
    std::string out;
    for (const std::string& p : cl.patterns) out += "[" + p + "]";
    if (cl.config) out += " config=" + *cl.config;
    out += std::string(cl.quiet ? " quiet" : "") + (cl.formats ? " formats" : "") + (cl.help ? " help" : "") +
           (cl.version ? " version" : "");
    for (const SettingDef* def : cl.overrides.given) out += " " + std::string(def->key) + "=" + setting_value_text(cl.overrides.values, *def);
    return out;
}

struct Case {
    std::vector<std::string> args;
    std::string expected;
};

class Parser : public testing::TestWithParam<Case> {};

TEST_P(Parser, Table) { EXPECT_EQ(parse(GetParam().args), GetParam().expected); }

const std::string kCap = std::to_string(max_jobs());
const std::string kReportRule = "a FILE name ending in .csv or .jsonl";
const std::string kTree = " recursive=1 local=1 outdir=";
const std::string kTreeRule = "tolvek: -o/--output-dir turns on --local and --recursive (pictures in a tree under "
                              "DIR, folders made as needed); it cannot go with --no-";
const std::string kRangeRule = "classic|LOW:HIGH with -300 <= LOW, HIGH <= 50 and HIGH - LOW >= 1";

INSTANTIATE_TEST_SUITE_P(
    Cases, Parser,
    testing::Values(
        Case{{}, ""}, Case{{"a.mp3", "dir", "*.wav"}, "[a.mp3][dir][*.wav]"},
        Case{{"a", "--grid", "b"}, "[a][b] grid=1"}, Case{{"--", "-x.mp3", "--grid"}, "[-x.mp3][--grid]"},
        Case{{"--quality", "50"}, " quality=50"}, Case{{"--quality=100"}, " quality=100"},
        Case{{"--recursive"}, " recursive=1"}, Case{{"--no-recursive"}, " recursive=0"},
        Case{{"--no-grid"}, " grid=0"}, Case{{"--local"}, " local=1"}, Case{{"--grid", "--no-grid"}, " grid=0"},
        Case{{"--progress"}, " progress=1"}, Case{{"--no-progress"}, " progress=0"},
        Case{{"-v"}, " verbose=1"}, Case{{"-vv"}, " verbose=2"}, Case{{"-v", "-v", "-v"}, " verbose=2"},
        Case{{"--verbose=0"}, " verbose=0"}, Case{{"-vv", "--verbose=1"}, " verbose=1"},
        Case{{"--verbose=1", "-vv"}, " verbose=2"}, Case{{"-f", "JPG"}, " output=jpeg"},
        Case{{"--format=png"}, " output=png"}, Case{{"-o", "out"}, kTree + "out"},
        Case{{"--output-dir=out dir"}, kTree + "out dir"}, Case{{"-p", "fire"}, " palette=fire"},
        Case{{"-j", "0"}, " jobs=0"}, Case{{"-j3"}, " jobs=3"}, Case{{"--jobs", "100000"}, " jobs=" + kCap},
        Case{{"-c", "x.ini", "-q", "--formats", "-h", "--version"}, " config=x.ini quiet formats help version"},
        Case{{"-vq"}, " quiet verbose=1"},
        Case{{"--quality", "9"}, "error: tolvek: --quality accepts a whole number from 10 to 100, not '9'"},
        Case{{"--quality", "101"}, "error: tolvek: --quality accepts a whole number from 10 to 100, not '101'"},
        Case{{"--quality=5x"}, "error: tolvek: --quality accepts a whole number from 10 to 100, not '5x'"},
        Case{{"--verbose=3"}, "error: tolvek: --verbose accepts a whole number from 0 to 2, not '3'"},
        Case{{"-j", "-1"}, "error: tolvek: --jobs accepts a whole number, 0 or more, not '-1'"},
        Case{{"-j", "two"}, "error: tolvek: --jobs accepts a whole number, 0 or more, not 'two'"},
        Case{{"-f", "webp"}, "error: tolvek: --format accepts png, jpg or jpeg, not 'webp'"},
        Case{{"-p", ""}, "error: tolvek: --palette accepts a FILE name, not ''"},
        // -o makes a tree under DIR: local and recursive on, an explicit off-switch refused.
        Case{{"--local", "--recursive", "-o", "o"}, kTree + "o"}, Case{{"-o", "o", "--local"}, kTree + "o"},
        Case{{"--no-local", "-o", "o"}, "error: " + kTreeRule + "local"},
        Case{{"-o", "o", "--no-recursive"}, "error: " + kTreeRule + "recursive"},
        Case{{"--local", "--no-local", "-o", "o"}, "error: " + kTreeRule + "local"},
        Case{{"--no-local", "--local", "-o", "o"}, kTree + "o"},
        // Nothing after "=" is an empty value, never the next argument.
        Case{{"--index=", "song.wav"}, "error: tolvek: --index accepts a FILE name, not ''"},
        Case{{"--config=", "a.wav"}, "error: tolvek: --config accepts a FILE name, not ''"},
        Case{{"--output-dir=", "a.wav"}, "error: tolvek: --output-dir accepts a DIR name, not ''"},
        Case{{"--palette=", "a.wav"}, "error: tolvek: --palette accepts a FILE name, not ''"},
        Case{{"--report=", "a.wav"}, "error: tolvek: --report accepts " + kReportRule + ", not ''"},
        Case{{"--quality=", "50"}, "error: tolvek: --quality accepts a whole number from 10 to 100, not ''"},
        Case{{"--shard="}, "error: tolvek: --shard accepts K/N (0 <= K < N) or slurm, not ''"},
        Case{{"--grid="}, "error: tolvek: --grid takes no value"},
        Case{{"-o", "--index="}, kTree + "--index="}, Case{{"--", "--index="}, "[--index=]"},
        // A short option takes no "=".
        Case{{"-u=1"}, "error: tolvek: -u takes no value"}, Case{{"-qu=1"}, "error: tolvek: -u takes no value"},
        Case{{"-o=out"}, "error: tolvek: -o takes its value as -o VALUE or --output-dir=VALUE, not -o=out"},
        Case{{"-j=2"}, "error: tolvek: -j takes its value as -j VALUE or --jobs=VALUE, not -j=2"},
        Case{{"-o", "-u=1"}, kTree + "-u=1"},
        // The report's format is known from its name, in any case.
        Case{{"--report", "r.CSV"}, " report=r.CSV"}, Case{{"--report=r.JsonL"}, " report=r.JsonL"},
        Case{{"--report", "r.json"}, "error: tolvek: --report accepts " + kReportRule + ", not 'r.json'"},
        Case{{"--report", "report.cvs"}, "error: tolvek: --report accepts " + kReportRule + ", not 'report.cvs'"},
        // Every choice in any case; a range within its bounds (parse_range's table touches each).
        Case{{"--range", "CLASSIC", "--scale", "LOG", "--coverage", "Full"}, " range=CLASSIC scale=log coverage=full"},
        Case{{"--range=-300:50"}, " range=-300:50"},
        Case{{"--range=-1e30:0"}, "error: tolvek: --range accepts " + kRangeRule + ", not '-1e30:0'"},
        Case{{"--bogus"}, "error: tolvek: unknown option --bogus; see tolvek --help"},
        // A long option one or two edits (a swap is one) from a real one is named.
        Case{{"--fram"}, "error: tolvek: unknown option --fram (did you mean --frame?); see tolvek --help"},
        Case{{"--frmae=1"}, "error: tolvek: unknown option --frmae=1 (did you mean --frame?); see tolvek --help"},
        Case{{"--FRAME"}, "error: tolvek: unknown option --FRAME (did you mean --frame?); see tolvek --help"},
        Case{{"--rcursve"}, "error: tolvek: unknown option --rcursve (did you mean --recursive?); see tolvek --help"},
        Case{{"--rcrsve"}, "error: tolvek: unknown option --rcrsve; see tolvek --help"},
        Case{{"--no-gird"}, "error: tolvek: unknown option --no-gird (did you mean --no-grid?); see tolvek --help"},
        Case{{"--formts"}, "error: tolvek: unknown option --formts (did you mean --formats?); see tolvek --help"},
        Case{{"a", "-x"}, "error: tolvek: unknown option -x; see tolvek --help"}));

TEST(Parser, MissingValueOrAValueForAFlag) {
    for (const Case& c :
         {Case{{"--quality"}, "error: tolvek: --quality needs a value: a whole number from 10 to 100"},
          Case{{"-j"}, "error: tolvek: --jobs needs a value: a whole number, 0 or more"},
          Case{{"a", "-f"}, "error: tolvek: --format needs a value: png, jpg or jpeg"},
          Case{{"--grid=2"}, "error: tolvek: --grid takes no value"},
          Case{{"--quiet=1"}, "error: tolvek: --quiet takes no value"}}) {
        EXPECT_EQ(parse(c.args), c.expected);
    }
    EXPECT_EQ(parse({"-c"}), "error: tolvek: --config needs a value: a FILE name");
}

TEST(Parser, CappedJobsAreWarnedOnce) {
    const char* argv[] = {"tolvek", "-j", "100000"};
    const auto cl = std::get<CommandLine>(parse_command_line(3, argv));
    ASSERT_EQ(cl.warnings.size(), 1u);
    EXPECT_EQ(cl.warnings[0], "tolvek: --jobs 100000 is more than 4 per processor core; using " + kCap);
}

TEST(Overrides, OnlyGivenSettingsReplaceTheFile) {
    Settings file = parse_settings("[general]\nquality=40\ngrid=0\noutput=jpg\n");
    const char* argv[] = {"tolvek", "--grid", "-f", "png"};
    const Settings s = apply_overrides(file, std::get<CommandLine>(parse_command_line(4, argv)).overrides);
    EXPECT_EQ(s.quality, 40);
    EXPECT_EQ(s.grid, 1);
    EXPECT_EQ(s.format, tolvek::image::FileType::Png);
}

TEST(Help, ListsEverySettingWithItsDefaultAndOption) {
    const std::string help = help_text();
    for (const char* line : {"  quality=75                 --quality N\n", "  grid=1                     --grid, --no-grid\n",
                             "  palette=tolvek_color.pal   -p, --palette FILE\n", "  output=png ",
                             "  verbose=0                  -v, --verbose=N\n", "  jobs=0 ", "  outdir=. ", "--config FILE",
                             "  progress=                  --progress, --no-progress\n",
                             "64 usage error"})
        EXPECT_NE(help.find(line), std::string::npos) << line;
}

}  // namespace
