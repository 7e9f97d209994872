#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "report/format.h"
#include "support/fixtures.h"

namespace tolvek::report {
namespace {

TEST(JsonString, KeepsUtf8EscapesControlsAndSurrogateEscapesBadBytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", R"("plain")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {"\n\t\x01\x7f", R"("\u000a\u0009\u0001\u007f")"},
        {"caf\xc3\xa9 \xf0\x9f\x8e\xb5", "\"caf\xc3\xa9 \xf0\x9f\x8e\xb5\""},
        {"x\xffy", R"("x\udcffy")"},
        {"\xc3", R"("\udcc3")"},                        // cut short
        {"\xc0\xaf", R"("\udcc0\udcaf")"},              // overlong
        {"\xed\xa0\x80", R"("\udced\udca0\udc80")"},    // an encoded surrogate
        {"\xf4\x90\x80\x80", R"("\udcf4\udc90\udc80\udc80")"},  // past U+10FFFF
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(json_string(in), out) << out;
}

Record odd_record() {
    Record r;
    r.source = "dir/a,b \"q\"\nline\r\xff\xfe.flac";
    r.picture = "dir/x.png";
    r.status = "written";
    r.reason = "";  // present but empty: must stay apart from null
    r.rate_hz = 44100;
    r.duration_s = 0.1;
    r.size_bytes = std::numeric_limits<std::int64_t>::max();
    r.peak_dbfs = -6.020599913279624;
    r.silence_pct = 1e-300;
    r.lossy_origin = "no";
    return r;
}

TEST(Report, RecordsRoundTripThroughBothFormats) {
    Record minimal;
    minimal.source = "only";
    minimal.status = "unreadable";
    const std::vector<Record> records = {odd_record(), minimal};
    for (Format format : {Format::Csv, Format::JsonLines}) {
        std::vector<Record> back;
        ASSERT_TRUE(parse_report(render(format, records), format, back));
        EXPECT_EQ(back, records);
    }
}

// Every escape JSON has reads back as its character; names the report
// does not know are passed over.
TEST(Report, JsonEscapesReadBack) {
    std::vector<Record> back;
    ASSERT_TRUE(parse_report(R"({"source":"\b\f\n\r\t\/\"\\\u00e9\ud83c\udfb5\udcff","new":[1],"status":"x"})" "\n",
                             Format::JsonLines, back));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].source, "\b\f\n\r\t/\"\\\xc3\xa9\xf0\x9f\x8e\xb5\xff");
    EXPECT_EQ(back[0].status, "x");
}

TEST(Report, CsvQuotesOnlyWhereNeededAndLeavesNullsEmpty) {
    Record r;
    r.source = "a,b";
    r.status = "not-audio";
    r.reason = "say \"no\"";
    r.channels = 2;
    r.cutoff_hz = 16000.5;
    EXPECT_EQ(csv_line(r), "\"a,b\",,not-audio,\"say \"\"no\"\"\",,,2,,,,,,,,,,16000.5,,,,,,,,,,,,,,,\r\n");
    EXPECT_EQ(csv_header(),
              "source,picture,status,reason,codec,rate_hz,channels,duration_s,bitrate_kbps,size_bytes,columns,"
              "seconds_per_column,coverage_pct,peak_dbfs,clipped_samples,silence_pct,cutoff_hz,lossy_origin,"
              "elapsed_ms,damaged_at_s,upsampled_from_hz,bit_depth,effective_bits,md5_ok,loudness_lufs,"
              "loudness_range_lu,true_peak_dbtp,artist,album,title,data,start_time\r\n");
    EXPECT_TRUE(json_line(r).starts_with(R"({"source":"a,b","picture":null,"status":"not-audio",)"));
}

TEST(Report, NumbersThatAreNotFiniteAreNull) {
    Record r;
    r.peak_dbfs = -std::numeric_limits<double>::infinity();
    EXPECT_NE(json_line(r).find(R"("peak_dbfs":null)"), std::string::npos);
}

// A peak of exactly full scale from the conversion is written as 0, never -0.
TEST(Report, FullScalePeakIsZeroNotMinusZero) {
    convert::Result result;
    result.peak_dbfs = -0.0;
    const Record r = record_from("a.wav", result);
    ASSERT_TRUE(r.peak_dbfs.has_value());
    EXPECT_FALSE(std::signbit(*r.peak_dbfs));
    EXPECT_NE(json_line(r).find(R"("peak_dbfs":0,)"), std::string::npos) << json_line(r);
}

TEST(Report, BadReportsAreRefused) {
    const std::string header = csv_header();
    const std::string rest(kFieldCount - 1, ',');  // the other fields, empty
    const std::pair<Format, std::string> cases[] = {
        {Format::Csv, header + "a\"b" + rest + "\r\n"},
        {Format::Csv, header + rest + "\"1\"b" + rest + "\r\n"},  // not a second record
        {Format::Csv, header + "a,,written,,,+44100" + rest.substr(5) + "\r\n"},
        {Format::JsonLines, R"({"rate_hz":+44100})"},
        {Format::JsonLines, R"({"source":"\q"})"},
        {Format::JsonLines, R"({"source":"\u00e"})"},
        {Format::JsonLines, "{\"source\":\"a\tb\"}"},
        {Format::JsonLines, R"({"source" "a"})"},
        {Format::JsonLines, R"({"source":})"},
        {Format::Csv, ""},
        {Format::Csv, "source,status\r\n"},
        {Format::Csv, header + "\"open,,,,,,,,,,,,,,,,,,\r\n"},
        {Format::Csv, header + "a,,written\r\n"},
        {Format::Csv, header + "a,,written,,,x44100,,,,,,,,,,,,,\r\n"},
        {Format::JsonLines, R"({"source":"a")"},
        {Format::JsonLines, R"({"source":"\udc41"})"},
        {Format::JsonLines, R"({"source":"\ud800x"})"},
        {Format::JsonLines, R"({"rate_hz":"fast"})"},
        {Format::JsonLines, R"({"source":"a"} x)"},
    };
    for (const auto& [format, text] : cases) {
        std::vector<Record> out;
        EXPECT_EQ(parse_report(text, format, out).code, kErrorData) << text;
    }
}

TEST(Report, WrittenWholeOrNotAtAll) {
    test::TempDir dir;
    const std::vector<Record> records = {odd_record()};
    for (const char* name : {"r.csv", "r.jsonl"}) {
        ASSERT_TRUE(write_report(dir.file(name), records));
        std::vector<Record> back;
        ASSERT_TRUE(read_report(dir.file(name), back));
        EXPECT_EQ(back, records);
    }
    EXPECT_EQ(write_report(dir.file("r.txt"), records).code, kErrorUsage);
    EXPECT_EQ(write_report(dir.file("missing/r.csv"), records).code, kErrorIo);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);  // no temporary left
}

// The format is the name's ending in any case; any other name (".json"
// among them) is no report.
TEST(Report, FormatFollowsTheEndingInAnyCase) {
    const std::pair<std::string_view, std::optional<Format>> cases[] = {
        {"r.csv", Format::Csv},         {"r.CSV", Format::Csv},       {"dir.jsonl/r.Csv", Format::Csv},
        {"r.jsonl", Format::JsonLines}, {"r.JSONL", Format::JsonLines}, {"r.json", std::nullopt},
        {"r.cvs", std::nullopt},        {"r.csv.txt", std::nullopt},  {"csv", std::nullopt},
        {"r.jsonl ", std::nullopt},     {"", std::nullopt},
    };
    for (const auto& [name, format] : cases) EXPECT_EQ(format_for(name), format) << name;
    EXPECT_EQ(write_report("r.json", {}).code, kErrorUsage);
}

// A report is known by how it begins, so a run replaces only its own.
TEST(Report, ItsOwnReportsAreRecognised) {
    const std::vector<Record> records = {odd_record()};
    EXPECT_TRUE(is_report_start(render(Format::Csv, {}), Format::Csv));
    EXPECT_TRUE(is_report_start(render(Format::Csv, records), Format::Csv));
    EXPECT_TRUE(is_report_start(render(Format::JsonLines, records), Format::JsonLines));
    EXPECT_FALSE(is_report_start(render(Format::JsonLines, records), Format::Csv));
    EXPECT_FALSE(is_report_start(render(Format::Csv, records), Format::JsonLines));
    const std::string header = csv_header();
    for (const std::string& other : {std::string("my notes\n"), std::string("source,picture\r\n"),
                                     "x," + header, std::string(R"({"a":1})"), std::string(" {\"source\":\"a\"}")}) {
        EXPECT_FALSE(is_report_start(other, Format::Csv)) << other;
        EXPECT_FALSE(is_report_start(other, Format::JsonLines)) << other;
    }
}

// Reports of earlier versions end after elapsed_ms; they still read, and
// are still this program's own.
TEST(Report, EarlierReportsStillRead) {
    std::string header;
    for (std::size_t f = 0; f < 19; ++f) (header += kFields[f].name) += ',';
    header.back() = '\r';
    const std::string text = header + "\na.wav,a.wav.png,written" + std::string(16, ',') + "12\r\n";
    EXPECT_TRUE(is_report_start(text, Format::Csv));
    std::vector<Record> back;
    ASSERT_TRUE(parse_report(text, Format::Csv, back));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].elapsed_ms, 12.0);
    EXPECT_EQ(back[0].damaged_at_s, std::nullopt);
    EXPECT_EQ(parse_report(header + "\na.wav\r\n", Format::Csv, back).code, kErrorData);
}

TEST(Report, StatusWords) {
    const std::pair<convert::Outcome, std::string_view> cases[] = {
        {convert::Outcome::Written, "written"},         {convert::Outcome::NotAudio, "not-audio"},
        {convert::Outcome::Unsupported, "unsupported"}, {convert::Outcome::SaveError, "save-error"},
        {convert::Outcome::Unreadable, "unreadable"},
    };
    for (auto [outcome, word] : cases) EXPECT_EQ(status_word(outcome), word) << word;
}

}  // namespace
}  // namespace tolvek::report
