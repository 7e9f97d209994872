// The PNG writer: what libpng decodes from its files is exactly the picture
// and the metadata libpng itself used to write, texts ahead of the pixels.
#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>

#include "image/picture.h"
#include "support/fixtures.h"

using tolvek::image::FileType;
using tolvek::image::Metadata;
using tolvek::image::Picture;

namespace {

Picture speckled(int width, int height) {
    Picture p(width, height);
    std::mt19937 gen(11);
    // Runs of one colour with speckles, as in a spectrogram, so that the
    // compressor finds both matches and literals.
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto v = gen() % 8 == 0 ? gen() : static_cast<std::uint32_t>(y / 7 * 0x10203);
            p.set_pixel(x, y, {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16)});
        }
    return p;
}

// `colours` different colours, one per pixel in turn, rows of `width`.
Picture of_colours(int colours, int width, int height) {
    Picture p(width, height);
    for (int i = 0; i < width * height; ++i) {
        const int c = i % colours;
        p.set_pixel(i % width, i / width, {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8), 200});
    }
    return p;
}

constexpr int kRgb = 2;      // IHDR colour types
constexpr int kIndexed = 3;

// IHDR's colour type: the byte after width, height and bit depth.
int colour_type(const std::string& path) {
    const std::string bytes = tolvek::test::read_file(path);
    return bytes.size() > 25 ? static_cast<std::uint8_t>(bytes[25]) : -1;
}

// The iTXt entries libpng finds before the first IDAT.
Metadata texts_before_pixels(const std::string& path) {
    Metadata found;
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (!file || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return {{"error", "unreadable"}};
    }
    png_init_io(png, file.get());
    png_read_info(png, info);
    png_textp texts = nullptr;
    const int count = png_get_text(png, info, &texts, nullptr);
    for (int i = 0; i < count; ++i) {
        if (texts[i].compression != PNG_ITXT_COMPRESSION_NONE) found.emplace_back("not iTXt", texts[i].key);
        found.emplace_back(texts[i].key, std::string(texts[i].text, texts[i].itxt_length));
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return found;
}

}  // namespace

TEST(PngWriter, LibpngDecodesThePixelsAndTextsWritten) {
    const Metadata texts = {{"Software", "tolvek"}, {"Comment", "zwölf\nlines"}, {"  Two   words ", ""}};
    const Metadata tidied = {{"Software", "tolvek"}, {"Comment", "zwölf\nlines"}, {"Two words", ""}};
    // At most 256 colours are written as palette indices, more as RGB.
    const struct {
        Picture picture;
        Metadata metadata, expected;
        int colour_type;
    } cases[] = {{Picture(1, 1), {}, {}, kIndexed},
                 {speckled(7, 5), texts, tidied, kIndexed},
                 {of_colours(256, 16, 16), texts, tidied, kIndexed},
                 {of_colours(257, 257, 1), texts, tidied, kRgb},
                 {of_colours(256, 1000, 1024), texts, tidied, kIndexed},
                 {speckled(1000, 1024), texts, tidied, kRgb}};
    tolvek::test::TempDir dir;
    for (const auto& c : cases) {
        const std::string path = dir.file("p.png");
        ASSERT_TRUE(c.picture.save(path, FileType::Png, c.metadata));
        tolvek::test::Image image;
        ASSERT_TRUE(tolvek::test::read_png(path, image));
        ASSERT_EQ(image.width, c.picture.width());
        ASSERT_EQ(image.height, c.picture.height());
        std::vector<std::uint8_t> want;
        for (int y = 0; y < image.height; ++y)
            want.insert(want.end(), c.picture.row(y), c.picture.row(y) + std::size_t{3} * image.width);
        EXPECT_TRUE(image.rgb == want) << image.width << "x" << image.height;
        EXPECT_EQ(texts_before_pixels(path), c.expected) << image.width << "x" << image.height;
        EXPECT_EQ(colour_type(path), c.colour_type) << image.width << "x" << image.height;
    }
}

TEST(PngWriter, KeywordOfSpacesIsRefusedAndNothingWritten) {
    tolvek::test::TempDir dir;
    const tolvek::Status saved = Picture(2, 2).save(dir.file("k.png"), FileType::Png, {{"   ", "x"}});
    EXPECT_EQ(saved.code, tolvek::image::kSaveEncode);
    EXPECT_FALSE(std::filesystem::exists(dir.file("k.png")));
}
