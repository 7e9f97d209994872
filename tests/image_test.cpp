#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>

#include "image/picture.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;
using tolvek::image::FileType;
using tolvek::image::Picture;
using tolvek::image::Rgb;
using tolvek::test::Image;
using tolvek::test::TempDir;

namespace {

std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

bool read_back(const std::string& path, FileType type, Image& out) {
    return type == FileType::Png ? tolvek::test::read_png(path, out) : tolvek::test::read_jpeg(path, out);
}

Picture noisy(int width, int height, std::uint32_t seed = 7) {
    Picture p(width, height);
    std::mt19937 gen(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto v = gen();
            p.set_pixel(x, y, {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16)});
        }
    return p;
}

struct TypeCase {
    FileType type;
    const char* name;
};
const TypeCase kTypes[] = {{FileType::Png, "x.png"}, {FileType::Jpeg, "x.jpg"}};

}  // namespace

TEST(Picture, NewPictureIsBlackInMemoryAndOnDisk) {
    const Picture p(7, 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) EXPECT_EQ(p.pixel(x, y), (Rgb{0, 0, 0})) << x << "," << y;
    TempDir dir;
    ASSERT_TRUE(p.save(dir.file("black.png"), FileType::Png));
    Image img;
    ASSERT_TRUE(tolvek::test::read_png(dir.file("black.png"), img));
    EXPECT_EQ(img.rgb, std::vector<std::uint8_t>(7 * 5 * 3, 0));
}

TEST(Picture, SavedFileHasThePicturesSize) {
    const struct {
        int width, height;
    } sizes[] = {{1, 1}, {17, 9}, {250, 1024}, {1000, 1024}};
    TempDir dir;
    for (const auto& t : kTypes)
        for (const auto& s : sizes) {
            const std::string path = dir.file(std::to_string(s.width) + "x" + std::to_string(s.height) + t.name);
            const tolvek::Status saved = Picture(s.width, s.height).save(path, t.type);
            ASSERT_TRUE(saved) << path << ": " << saved.message;
            Image img;
            ASSERT_TRUE(read_back(path, t.type, img)) << path;
            EXPECT_EQ(img.width, s.width) << path;
            EXPECT_EQ(img.height, s.height) << path;
        }
}

TEST(Picture, RowZeroIsTheBottomRowOfTheFile) {
    // The lower quarter bright, the rest black: large enough areas for JPEG to keep.
    Picture p(32, 64);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 32; ++x) p.set_pixel(x, y, {255, 255, 255});
    TempDir dir;
    for (const auto& t : kTypes) {
        ASSERT_TRUE(p.save(dir.file(t.name), t.type));
        Image img;
        ASSERT_TRUE(read_back(dir.file(t.name), t.type, img));
        // The last row stored in the file is the bright one.
        const std::size_t last_row = static_cast<std::size_t>(img.height - 1) * img.width * 3;
        EXPECT_GT(img.rgb[last_row + 16 * 3], 200) << t.name;
        EXPECT_LT(img.rgb[16 * 3], 50) << t.name;
        EXPECT_GT(img.at(16, 4).g, 200) << t.name;
        EXPECT_LT(img.at(16, 60).g, 50) << t.name;
    }
}

TEST(Picture, PngKeepsEveryPixelExactly) {
    const Picture p = noisy(123, 77);
    TempDir dir;
    ASSERT_TRUE(p.save(dir.file("n.png"), FileType::Png));
    Image img;
    ASSERT_TRUE(tolvek::test::read_png(dir.file("n.png"), img));
    ASSERT_EQ(img.width, 123);
    ASSERT_EQ(img.height, 77);
    for (int y = 0; y < 77; ++y)
        for (int x = 0; x < 123; ++x) {
            const auto px = img.at(x, y);
            ASSERT_EQ(p.pixel(x, y), (Rgb{static_cast<std::uint8_t>(px.r), static_cast<std::uint8_t>(px.g),
                                          static_cast<std::uint8_t>(px.b)}))
                << x << "," << y;
        }
}

TEST(Picture, JpegQualityChangesTheFileSize) {
    Picture p = noisy(200, 200);
    TempDir dir;
    std::uintmax_t previous = 0;
    for (int quality : {10, 50, 95}) {
        p.set_jpeg_quality(static_cast<std::uint8_t>(quality));
        const std::string path = dir.file("q" + std::to_string(quality) + ".jpg");
        ASSERT_TRUE(p.save(path, FileType::Jpeg));
        const auto size = fs::file_size(path);
        EXPECT_GT(size, previous) << "quality " << quality;
        previous = size;
    }
}

TEST(Picture, SavedFileGetsTheModeOfAnOrdinaryNewFile) {
    TempDir dir;
    const mode_t old_mask = umask(027);
    const bool saved = !!Picture(4, 4).save(dir.file("m.png"), FileType::Png);
    umask(old_mask);
    ASSERT_TRUE(saved);
    struct stat st {};
    ASSERT_EQ(stat(dir.file("m.png").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(Picture, SaveReplacesAnExistingFileAndLeavesNothingElse) {
    TempDir dir;
    for (const auto& t : kTypes) {
        tolvek::test::write_file(dir.file(t.name), "old contents");
        const tolvek::Status saved = Picture(20, 10).save(dir.file(t.name), t.type);
        ASSERT_TRUE(saved) << saved.message;
        Image img;
        EXPECT_TRUE(read_back(dir.file(t.name), t.type, img)) << t.name;
    }
    EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"x.png", "x.jpg"}));
}

TEST(Picture, SaveIntoAMissingDirectoryFailsAndWritesNothing) {
    TempDir dir;
    for (const auto& t : kTypes) {
        const std::string path = dir.file("missing/") + t.name;
        const std::string error = Picture(8, 8).save(path, t.type).message;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_NE(error.find(std::strerror(ENOENT)), std::string::npos) << error;
    }
    EXPECT_TRUE(listing(dir.path()).empty());
}

TEST(Picture, SaveOverADirectoryFailsAndLeavesNoTemporaryFile) {
    TempDir dir;
    for (const auto& t : kTypes) {
        fs::create_directory(dir.file(t.name));
        const tolvek::Status saved = Picture(8, 8).save(dir.file(t.name), t.type);
        EXPECT_FALSE(saved);
        EXPECT_FALSE(saved.message.empty());
        EXPECT_TRUE(fs::is_directory(dir.file(t.name)));
    }
    EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"x.png", "x.jpg"}));
}

TEST(Picture, AnEmptyPictureIsRefusedWithoutEndingTheProcess) {
    TempDir dir;
    for (const auto& t : kTypes) {
        const tolvek::Status saved = Picture(0, 0).save(dir.file(t.name), t.type);
        EXPECT_FALSE(saved);
        EXPECT_FALSE(saved.message.empty()) << t.name;
    }
    EXPECT_TRUE(listing(dir.path()).empty());
}

// Saves `picture` in a child whose files may not grow past `limit` bytes, a
// stand-in for a full disk that cannot touch the rest of the test run. The
// child's exit code: 0 when the save failed and said why, 11 when it
// succeeded, 12 when the error text lacks the cause.
static int save_with_file_size_limit(const Picture& picture, const std::string& path, FileType type, rlim_t limit) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit rl{limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(10);
        const tolvek::Status saved = picture.save(path, type);
        if (saved) _exit(11);
        const std::string& error = saved.message;
        if (error.find(std::strerror(EFBIG)) == std::string::npos) _exit(12);
        _exit(0);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(Picture, AFullDiskIsDetectedAndLeavesNoFile) {
    const Picture picture = noisy(1000, 1024);
    TempDir sizes;
    for (const auto& t : kTypes) {
        ASSERT_TRUE(picture.save(sizes.file(t.name), t.type));
        const auto full_size = static_cast<rlim_t>(fs::file_size(sizes.file(t.name)));
        // Early in the picture, and in its very last bytes, which only reach
        // the file when the stream is flushed and closed.
        for (const rlim_t limit : {rlim_t{10000}, full_size - 1}) {
            TempDir dir;
            EXPECT_EQ(save_with_file_size_limit(picture, dir.file(t.name), t.type, limit), 0)
                << t.name << " limited to " << limit << " of " << full_size << " bytes";
            EXPECT_TRUE(listing(dir.path()).empty()) << t.name << " limited to " << limit;
        }
    }
}

// The temporary beside the picture has a short name of its own, so a picture
// whose name is near the 255-byte limit still saves, and nothing else stays.
TEST(Picture, NamesNearTheLengthLimitSave) {
    TempDir dir;
    for (const std::size_t length : {245u, 248u, 251u, 255u})
        for (const auto& t : kTypes) {
            const std::string name = std::string(length - 4, 'n') + (t.type == FileType::Png ? ".png" : ".jpg");
            const tolvek::Status saved = Picture(8, 8).save(dir.file(name), t.type);
            EXPECT_TRUE(saved) << length << ": " << saved.message;
        }
    EXPECT_EQ(listing(dir.path()).size(), 8u);
}
