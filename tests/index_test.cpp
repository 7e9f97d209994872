// The run's index: escaping and links in the page, thumbnails, reading
// pictures back, and the writer's files. The page's behaviour in a browser
// is tests/browser (make test-browser).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "convert/convert.h"
#include "image/thumbnail.h"
#include "report/format.h"
#include "report/index.h"
#include "report/index_page.h"
#include "support/fixtures.h"

namespace tolvek {
namespace {

struct TextCase {
    std::string in, out;
};

TEST(IndexText, HtmlEscapeLeavesNoMarkupAndOnlyValidUtf8) {
    const TextCase cases[] = {
        {"plain.wav", "plain.wav"},
        {"<script>alert(1)</script>.wav", "&lt;script&gt;alert(1)&lt;/script&gt;.wav"},
        {"a\"b'c&d", "a&quot;b&#39;c&amp;d"},
        {"na\xC3\xAFve \xF0\x9F\x8E\xB5", "na\xC3\xAFve \xF0\x9F\x8E\xB5"},  // valid UTF-8 is kept
        {"bad\xFF.wav", "bad\xEF\xBF\xBD.wav"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},              // overlong '/'
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
        {"cut\xE2\x82", "cut\xEF\xBF\xBD\xEF\xBF\xBD"},        // truncated at the end
    };
    for (const TextCase& c : cases) EXPECT_EQ(report::html_escape(c.in), c.out) << c.in;
}

TEST(IndexText, UrlEncodingKeepsSlashesAndUnreservedBytesOnly) {
    const TextCase cases[] = {
        {"music/a-b_c.~1.png", "music/a-b_c.~1.png"},
        {"sub dir/hash#1?.png", "sub%20dir/hash%231%3F.png"},
        {"100%.png", "100%25.png"},
        {"na\xC3\xAFve/bad\xFF.png", "na%C3%AFve/bad%FF.png"},
        {"c:d&e=f+g;h", "c%3Ad%26e%3Df%2Bg%3Bh"},  // no scheme, no query syntax
        {"<\"'>", "%3C%22%27%3E"},
    };
    for (const TextCase& c : cases) EXPECT_EQ(report::url_encode_path(c.in), c.out) << c.in;
}

TEST(IndexText, RelativePathFromThePagesFolder) {
    struct Case {
        std::string from, to, out;
    };
    const Case cases[] = {
        {"/r/report", "/r/music/a.png", "../music/a.png"},
        {"/r/report/", "/r/report/index_files/x.jpg", "index_files/x.jpg"},
        {"/r", "/r/a b/c#.png", "a b/c#.png"},
        {"/a/b", "/c/d.png", "../../c/d.png"},
        {"/r/./x/../report", "/r/music/./y/../a.png", "../music/a.png"},
        {"/", "/x.png", "x.png"},
        {"report", "music/a.png", "../music/a.png"},  // both from the current folder
        {".", "music/a.png", "music/a.png"},
    };
    for (const Case& c : cases) EXPECT_EQ(report::relative_path(c.from, c.to), c.out) << c.from << " " << c.to;
}

TEST(IndexText, ThumbnailFolderAndNames) {
    const TextCase folders[] = {{"index.html", "index_files"}, {"run/index.html", "run/index_files"},
                                {"run.d/page", "run.d/page_files"}, {".hidden", ".hidden_files"},
                                {"a/b.c.html", "a/b.c_files"}};
    for (const TextCase& c : folders) EXPECT_EQ(report::thumbnail_folder(c.in), c.out) << c.in;
    const std::string name = report::thumbnail_name("music/a.png");
    EXPECT_EQ(name.size(), 20u);
    EXPECT_TRUE(name.ends_with(".jpg"));
    EXPECT_EQ(report::thumbnail_name("./music/x/../a.png"), name);  // the same file
    EXPECT_NE(report::thumbnail_name("music/b.png"), name);
}

TEST(IndexPage, HostileNamesReachThePageOnlyAsData) {
    report::Record r;
    r.source = "/r/dir/<script>alert(1)</script> \"q\" 'a' & \xFF.wav";
    r.status = "written";
    r.picture = r.source + ".png";
    r.cutoff_hz = 16000.0;
    const std::string page = report::render_index("/r/index.html", {r}, {true});
    // Only the page's own two script elements, and the name never as markup.
    std::size_t scripts = 0;
    for (std::size_t at = page.find("<script"); at != std::string::npos; at = page.find("<script", at + 1)) ++scripts;
    EXPECT_EQ(scripts, 2u);
    EXPECT_EQ(page.find("</script> "), std::string::npos);
    EXPECT_NE(page.find("\\u003cscript\\u003ealert(1)"), std::string::npos);
    EXPECT_NE(page.find("'a' \\u0026 \xEF\xBF\xBD.wav\""), std::string::npos);  // no '&' in the script either
    EXPECT_NE(page.find("\"dir/%3Cscript%3Ealert%281%29%3C/script%3E%20%22q%22%20%27a%27%20%26%20%FF.wav.png\""),
              std::string::npos);
    EXPECT_NE(page.find("\xEF\xBF\xBD.wav\""), std::string::npos);  // shown with U+FFFD
}

// A page is known by how it begins, so a run replaces only its own.
TEST(IndexPage, ItsOwnPagesAreRecognised) {
    report::Record r;
    r.source = "a.wav";
    r.status = "written";
    EXPECT_TRUE(report::is_index_page_start(report::render_index("/r/index.html", {}, {})));
    EXPECT_TRUE(report::is_index_page_start(report::render_index("/r/index.html", {r}, {false}).substr(0, 4096)));
    for (const char* other : {"", "<!DOCTYPE html>\n<html><head><title>mine</title>", "source,picture\r\n",
                              " <!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"})
        EXPECT_FALSE(report::is_index_page_start(other)) << other;
}

// A picture whose left half is one colour and right half another.
image::Picture halves(int width, int height, image::Rgb left, image::Rgb right) {
    image::Picture p(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) p.set_pixel(x, y, x < width / 2 ? left : right);
    return p;
}

TEST(Thumbnail, SizeFollowsTheWidthWithTheHeightInProportion) {
    struct Case {
        int w, h, target, out_w, out_h;
    };
    const Case cases[] = {{1000, 1024, 200, 200, 205}, {250, 1024, 200, 200, 819}, {100, 50, 200, 100, 50},
                          {3, 3, 1, 1, 1},             {1000, 2, 200, 200, 1},     {0, 10, 200, 0, 0}};
    for (const Case& c : cases) {
        const image::Picture t = image::thumbnail(image::Picture(c.w, c.h), c.target);
        EXPECT_EQ(t.width(), c.out_w) << c.w << "x" << c.h;
        EXPECT_EQ(t.height(), c.out_h) << c.w << "x" << c.h;
    }
}

TEST(Thumbnail, PixelsAreTheMeanOfTheirBox) {
    const image::Rgb red{255, 0, 0}, blue{0, 0, 255}, grey{10, 20, 30};
    const image::Picture split = image::thumbnail(halves(400, 100, red, blue), 200);
    EXPECT_EQ(split.pixel(0, 0), red);
    EXPECT_EQ(split.pixel(99, 49), red);
    EXPECT_EQ(split.pixel(100, 0), blue);
    EXPECT_EQ(image::thumbnail(halves(300, 90, grey, grey), 200).pixel(123, 45), grey);
    // 2 x 1 down to 1 x 1: the mean, rounded.
    EXPECT_EQ(image::thumbnail(halves(2, 1, {0, 0, 0}, {255, 101, 3}), 1).pixel(0, 0), (image::Rgb{128, 51, 2}));
}

TEST(ReadPicture, ReadsWhatWasSavedAndRefusesDamage) {
    test::TempDir dir;
    const image::Picture source = halves(40, 30, {200, 10, 10}, {10, 10, 200});
    for (auto type : {image::FileType::Png, image::FileType::Jpeg}) {
        const std::string path = dir.file(type == image::FileType::Png ? "p.png" : "p.jpg");
        ASSERT_TRUE(source.save(path, type));
        image::Picture back(0, 0);
        ASSERT_TRUE(image::read_picture(path, back)) << path;
        EXPECT_EQ(back.width(), 40);
        EXPECT_EQ(back.height(), 30);
        EXPECT_NEAR(back.pixel(5, 5).r, 200, 8) << path;
        EXPECT_NEAR(back.pixel(35, 5).b, 200, 8) << path;
        const std::string bytes = test::read_file(path);
        test::write_file(dir.file("cut"), bytes.substr(0, 100));  // inside the header
        EXPECT_EQ(image::read_picture(dir.file("cut"), back).code, image::kErrorPictureData) << path;
    }
    test::write_file(dir.file("text.png"), "not a picture");
    image::Picture back(0, 0);
    EXPECT_EQ(image::read_picture(dir.file("text.png"), back).code, image::kErrorPictureData);
    EXPECT_EQ(image::read_picture(dir.file("missing.png"), back).code, image::kErrorPictureIo);
}

TEST(IndexWriter, WritesThumbnailsAndThePage) {
    test::TempDir dir;
    report::Record made, kept, failed;
    made.source = dir.file("a.wav"), made.status = "written", made.picture = dir.file("a.wav.png");
    made.upsampled_from_hz = 44100, made.bit_depth = "24", made.effective_bits = 16, made.md5_ok = "no";
    made.loudness_lufs = -9.5, made.true_peak_dbtp = -0.5;
    kept.source = dir.file("b.wav"), kept.status = "up-to-date", kept.picture = dir.file("b.wav.png");
    failed.source = dir.file("c.wav"), failed.status = "unreadable";
    ASSERT_TRUE(halves(500, 64, {1, 2, 3}, {4, 5, 6}).save(*kept.picture, image::FileType::Png));
    const report::IndexWriter index(dir.file("index.html"));
    ASSERT_TRUE(index.add_thumbnail(made, halves(400, 64, {9, 9, 9}, {9, 9, 9})));
    ASSERT_TRUE(index.keep_thumbnail(kept));  // made from the file on disk
    ASSERT_TRUE(index.keep_thumbnail(failed));
    test::Image thumb;
    ASSERT_TRUE(test::read_jpeg(dir.file("index_files/" + report::thumbnail_name(*kept.picture)), thumb));
    EXPECT_EQ(thumb.width, 200);
    EXPECT_EQ(thumb.height, 26);
    // Kept while the picture is the file it was made from; remade from a
    // picture saved again; refused for one that cannot be decoded.
    const std::string thumb_path = dir.file("index_files/" + report::thumbnail_name(*kept.picture));
    const std::string first = test::read_file(thumb_path);
    ASSERT_TRUE(index.keep_thumbnail(kept));
    EXPECT_EQ(test::read_file(thumb_path), first);
    ASSERT_TRUE(halves(500, 64, {250, 250, 250}, {250, 250, 250}).save(*kept.picture, image::FileType::Png));
    ASSERT_TRUE(index.keep_thumbnail(kept));
    ASSERT_TRUE(test::read_jpeg(thumb_path, thumb));
    EXPECT_GT(thumb.at(100, 13).r, 240);
    test::write_file(*kept.picture, "\x89PNG\r\n\x1a\n not a picture");
    EXPECT_EQ(index.keep_thumbnail(kept).code, image::kErrorPictureData);
    ASSERT_TRUE(halves(500, 64, {1, 2, 3}, {4, 5, 6}).save(*kept.picture, image::FileType::Png));
    ASSERT_TRUE(index.finish({made, kept, failed}));
    EXPECT_NE(test::read_file(dir.file("index.html")).find("index_files/" + report::thumbnail_name(*made.picture)),
              std::string::npos);
    // The verdicts follow the row's other cells, for the page's column and filters.
    EXPECT_NE(test::read_file(dir.file("index.html")).find(R"(,null,44100,"24",16,"no",-9.5,-0.5])"), std::string::npos);
    const report::IndexWriter nowhere(dir.file("missing/index.html"));
    EXPECT_EQ(nowhere.finish({made}).code, report::kErrorIo);
    EXPECT_FALSE(test::exists(dir.file("missing")));
}

class QuietLog : public convert::Log {
    void line(std::string_view) override {}
    void error(std::string_view) override {}
};

TEST(IndexWriter, ConversionHandsOverThePaintedPictureOnlyWhenAsked) {
    test::TempDir dir;
    test::write_wav(dir.file("a.wav"), 22050, 1, test::sine(22050, 1, 2.0, 440.0));
    auto palette = test::TestPalette::grey();
    convert::Options options;
    options.palette = &palette;
    QuietLog log;
    int calls = 0, width = 0;
    options.on_picture = [&](const image::Picture& p) { ++calls, width = p.width(); };
    const convert::Result result = convert::convert_file(dir.file("a.wav"), std::nullopt, options, log);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(width, result.columns);
    convert::convert_file(dir.file("missing.wav"), std::nullopt, options, log);
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace tolvek

namespace tolvek {
namespace {

TEST(IndexPage, TitleNamesTheRun) {
    const auto with_status = [](std::string_view status) {
        report::Record r;
        r.status = std::string(status);
        return r;
    };
    const std::vector<report::Record> records{with_status(report::kStatusWritten), with_status(report::kStatusUnreadable),
                                              with_status(report::kStatusWritten)};
    EXPECT_EQ(report::run_title("music/*", records, "2026-12-09"),
              "music/* \xE2\x80\x94 3 files: 2 written, 1 unreadable, 2026-12-09");
    EXPECT_EQ(report::run_title("", {records[0]}, ""), "1 file: 1 written");
    const std::string page = report::render_index("/r/index.html", records, {}, "a <b> run");
    EXPECT_NE(page.find("<title>a &lt;b&gt; run</title>"), std::string::npos);
}

}  // namespace
}  // namespace tolvek
