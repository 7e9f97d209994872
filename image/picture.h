// The picture a conversion paints: 24-bit RGB, held top row first so that a
// row of the buffer is a row of the saved file, and encoded as PNG or JPEG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tolvek::image {

enum class FileType { Jpeg = 3, Png = 4 };

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

class Picture {
public:
    // A black picture of width × height.
    Picture(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }

    void set_jpeg_quality(std::uint8_t quality) { jpeg_quality_ = quality; }
    std::uint8_t jpeg_quality() const { return jpeg_quality_; }

    // y = 0 is the bottom row of the saved picture. No bounds check: the
    // conversion sets about a million pixels per file.
    void set_pixel(int x, int y, Rgb c) {
        std::uint8_t* p = &pixels_[(static_cast<std::size_t>(height_ - 1 - y) * width_ + x) * 3];
        p[0] = c.r;
        p[1] = c.g;
        p[2] = c.b;
    }
    Rgb pixel(int x, int y) const {
        const std::uint8_t* p = &pixels_[(static_cast<std::size_t>(height_ - 1 - y) * width_ + x) * 3];
        return {p[0], p[1], p[2]};
    }

    // Writes the whole picture to `path` or nothing at all: the file is
    // written beside it under a temporary name and renamed over `path` only
    // when complete. On failure `error` (when given) says why.
    bool save(const std::string& path, FileType type, std::string* error = nullptr) const;

    // Rows top first, 3 bytes per pixel.
    const std::uint8_t* row(int top_row) const {
        return &pixels_[static_cast<std::size_t>(top_row) * width_ * 3];
    }

private:
    int width_;
    int height_;
    std::uint8_t jpeg_quality_ = 75;
    std::vector<std::uint8_t> pixels_;
};

}  // namespace tolvek::image
