#include <gtest/gtest.h>
#include <libdeflate.h>

#include <filesystem>
#include <random>

#include "image/picture.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;
using tolvek::image::FileType;
using tolvek::image::Metadata;
using tolvek::image::Picture;
using tolvek::test::Image;
using tolvek::test::TempDir;

namespace {

struct TypeCase {
    FileType type;
    const char* name;
};
const TypeCase kTypes[] = {{FileType::Png, "m.png"}, {FileType::Jpeg, "m.jpg"}};

const Metadata kEntries = {
    {"source", "music/Live at the Café.flac"},
    {"settings", "quality=75\ngrid=1\npalette=fire"},
    {"empty", ""},
};

Picture gradient() {
    Picture p(64, 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            p.set_pixel(x, y, {static_cast<std::uint8_t>(x * 4), static_cast<std::uint8_t>(y * 5), 90});
    return p;
}

bool read_back(const std::string& path, FileType type, Image& out) {
    return type == FileType::Png ? tolvek::test::read_png(path, out) : tolvek::test::read_jpeg(path, out);
}

}  // namespace

TEST(Metadata, EntriesComeBackAndPixelsStayTheSame) {
    TempDir dir;
    const Picture picture = gradient();
    for (const auto& t : kTypes) {
        const std::string plain = dir.file(std::string("plain-") + t.name);
        const std::string tagged = dir.file(t.name);
        ASSERT_TRUE(picture.save(plain, t.type));
        const tolvek::Status saved = picture.save(tagged, t.type, kEntries);
        ASSERT_TRUE(saved) << saved.message;

        Metadata read;
        const tolvek::Status status = tolvek::image::read_metadata(tagged, read);
        ASSERT_TRUE(status) << status.message;
        EXPECT_EQ(read, kEntries) << t.name;
        ASSERT_TRUE(tolvek::image::read_metadata(plain, read));
        EXPECT_TRUE(read.empty()) << t.name;

        Image a, b;
        ASSERT_TRUE(read_back(plain, t.type, a));
        ASSERT_TRUE(read_back(tagged, t.type, b));
        EXPECT_EQ(a.rgb, b.rgb) << t.name;
    }
}

TEST(Metadata, KeysThatCannotBeStoredAreRefusedAndNothingIsWritten) {
    TempDir dir;
    const Metadata bad[] = {{{"", "v"}}, {{"a=b", "v"}}, {{"line\nbreak", "v"}}, {{std::string(80, 'k'), "v"}},
                            {{"k", std::string("nul\0inside", 10)}}};
    for (const auto& t : kTypes)
        for (const Metadata& m : bad) {
            const tolvek::Status saved = gradient().save(dir.file(t.name), t.type, m);
            EXPECT_EQ(saved.code, tolvek::image::kSaveBadMetadata) << m[0].first;
        }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(Metadata, DamagedOrForeignFilesGiveAStatus) {
    TempDir dir;
    ASSERT_TRUE(gradient().save(dir.file("good.png"), FileType::Png, kEntries));
    ASSERT_TRUE(gradient().save(dir.file("good.jpg"), FileType::Jpeg, kEntries));
    const std::string png = tolvek::test::read_file(dir.file("good.png"));
    const std::string jpg = tolvek::test::read_file(dir.file("good.jpg"));
    std::string noise(4096, '\0');
    std::mt19937 gen(3);
    for (char& c : noise) c = static_cast<char>(gen());
    const struct {
        const char* name;
        std::string bytes;
        std::error_code code;
    } cases[] = {
        {"empty", "", tolvek::image::kMetadataNotPicture},
        {"text", "hello", tolvek::image::kMetadataNotPicture},
        {"noise", noise, tolvek::image::kMetadataNotPicture},
        {"png signature only", png.substr(0, 8), tolvek::image::kMetadataDamaged},
        {"png cut in its text", png.substr(0, 60), tolvek::image::kMetadataDamaged},
        {"png with a huge chunk", png.substr(0, 8) + std::string("\x7f\xff\xff\xffiTXt", 8), tolvek::image::kMetadataDamaged},
        {"jpeg cut in a comment", jpg.substr(0, 30), tolvek::image::kMetadataDamaged},
        {"jpeg header then garbage", jpg.substr(0, 20) + "garbage", tolvek::image::kMetadataDamaged},
    };
    for (const auto& c : cases) {
        tolvek::test::write_file(dir.file("bad"), c.bytes);
        Metadata read;
        EXPECT_EQ(tolvek::image::read_metadata(dir.file("bad"), read).code, c.code) << c.name;
    }
    Metadata read;
    EXPECT_FALSE(tolvek::image::read_metadata(dir.file("missing.png"), read));
    EXPECT_FALSE(tolvek::image::read_metadata(dir.path(), read));
}

// A JPEG of many maximal comments stops at the text budget, not at memory.
TEST(Metadata, TextBeyondTheLimitIsRefused) {
    TempDir dir;
    std::string jpeg = "\xff\xd8";
    const std::string comment = "k=" + std::string(65531, 'v');
    for (int i = 0; i < 20; ++i) jpeg += std::string("\xff\xfe\xff\xff", 4) + comment;
    jpeg += "\xff\xd9";
    tolvek::test::write_file(dir.file("big.jpg"), jpeg);
    Metadata read;
    EXPECT_EQ(tolvek::image::read_metadata(dir.file("big.jpg"), read).code, tolvek::image::kMetadataTooLarge);
}

// A picture counts as whole only with every byte it was saved with: its
// size comes back, and any cut, flipped byte or trailing data is found.
TEST(Metadata, WholePicturesOnly) {
    using tolvek::image::kMetadataDamaged;
    TempDir dir;
    Picture big(300, 200);  // noise: tens of KiB even in JPEG, so that 3 KB cuts it
    std::mt19937 gen(5);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 300; ++x)
            big.set_pixel(x, y, {static_cast<std::uint8_t>(gen()), static_cast<std::uint8_t>(gen()), 0});
    ASSERT_TRUE(big.save(dir.file("good.png"), FileType::Png, kEntries));
    ASSERT_TRUE(big.save(dir.file("good.jpg"), FileType::Jpeg, kEntries));
    const std::string png = tolvek::test::read_file(dir.file("good.png"));
    const std::string jpg = tolvek::test::read_file(dir.file("good.jpg"));
    ASSERT_GT(jpg.size(), 3000u);
    const auto flipped = [](std::string bytes, std::size_t at) {
        bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
        return bytes;
    };
    // The IHDR claiming another size, its CRC made right for it.
    std::string claims = png;
    claims.replace(16, 8, std::string("\0\0\xea\x60\0\0\xea\x60", 8));  // 60000 x 60000
    const std::uint32_t crc = libdeflate_crc32(0, claims.data() + 12, 17);
    for (int i = 0; i < 4; ++i) claims[29 + i] = static_cast<char>(crc >> (24 - 8 * i));
    const std::size_t idat = png.find("IDAT");
    ASSERT_NE(idat, std::string::npos);
    const struct {
        const char* name;
        std::string bytes;
        std::error_code code;
        tolvek::image::PictureSize size;
    } cases[] = {
        {"png", png, {}, {300, 200}},
        {"jpeg", jpg, {}, {300, 200}},
        {"png claiming 60000 x 60000", claims, {}, {60000, 60000}},
        {"png cut in half", png.substr(0, png.size() / 2), kMetadataDamaged, {}},
        {"png one byte short", png.substr(0, png.size() - 1), kMetadataDamaged, {}},
        {"png pixel data changed", flipped(png, idat + 20), kMetadataDamaged, {}},
        {"png with data after IEND", png + "x", kMetadataDamaged, {}},
        {"jpeg cut to 3 KB", jpg.substr(0, 3000), kMetadataDamaged, {}},
        {"jpeg without EOI", jpg.substr(0, jpg.size() - 2), kMetadataDamaged, {}},
        {"jpeg with data after EOI", jpg + "x", kMetadataDamaged, {}},
        {"text", "hello", tolvek::image::kMetadataNotPicture, {}},
    };
    for (const auto& c : cases) {
        tolvek::test::write_file(dir.file("p"), c.bytes);
        tolvek::image::PictureSize size;
        EXPECT_EQ(tolvek::image::whole_picture_size(dir.file("p"), size).code, c.code) << c.name;
        if (!c.code) {
            EXPECT_EQ(size, c.size) << c.name;
        }
    }
}
