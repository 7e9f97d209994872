#include "image/thumbnail.h"

#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "common/file.h"

namespace tolvek::image {

namespace {

// The source range [first, last) that destination index `i` of `count` covers.
struct Span {
    int first, last;
};
Span box(int i, int count, int source) {
    const auto at = [&](int k) { return static_cast<int>(static_cast<std::int64_t>(k) * source / count); };
    const int first = at(i);
    return {first, std::max(at(i + 1), first + 1)};
}

}  // namespace

Picture thumbnail(const Picture& source, int width) {
    if (source.width() <= 0 || source.height() <= 0 || width <= 0) return Picture(0, 0);
    const int w = std::min(width, source.width());
    const int h = std::max(1, static_cast<int>((static_cast<std::int64_t>(source.height()) * w + source.width() / 2) /
                                               source.width()));
    Picture out(w, h);
    out.set_jpeg_quality(80);
    // Sums of each source column over the rows of one destination row, then
    // over the columns of each destination pixel: every source byte is read once.
    std::vector<std::uint32_t> sums(static_cast<std::size_t>(source.width()) * 3);
    for (int y = 0; y < h; ++y) {
        const Span rows = box(y, h, source.height());
        std::fill(sums.begin(), sums.end(), 0u);
        for (int sy = rows.first; sy < rows.last; ++sy) {
            const std::uint8_t* p = source.row(sy);
            for (std::size_t i = 0; i < sums.size(); ++i) sums[i] += p[i];
        }
        for (int x = 0; x < w; ++x) {
            const Span cols = box(x, w, source.width());
            const std::uint32_t n = static_cast<std::uint32_t>((rows.last - rows.first) * (cols.last - cols.first));
            std::uint32_t c[3] = {0, 0, 0};
            for (int sx = cols.first; sx < cols.last; ++sx)
                for (int k = 0; k < 3; ++k) c[k] += sums[static_cast<std::size_t>(sx) * 3 + k];
            const auto mean = [&](std::uint32_t v) { return static_cast<std::uint8_t>((v + n / 2) / n); };
            out.set_pixel(x, h - 1 - y, {mean(c[0]), mean(c[1]), mean(c[2])});
        }
    }
    return out;
}

namespace {

Status data_error(const std::string& path, const std::string& why) {
    return Status::fail(kErrorPictureData, "cannot decode " + path + ": " + why);
}

bool too_large(std::size_t width, std::size_t height) {
    return width == 0 || height == 0 || width > kMaxReadPixels / height;
}

Status decode_png(const std::string& path, const std::string& bytes, Picture& out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    // png_image_free releases what begin_read allocated, on every path.
    const auto release = [](png_image* p) { png_image_free(p); };
    std::unique_ptr<png_image, decltype(release)> guard(&image, release);
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return data_error(path, image.message);
    if (too_large(image.width, image.height)) return data_error(path, "the picture is too large");
    image.format = PNG_FORMAT_RGB;
    Picture picture(static_cast<int>(image.width), static_cast<int>(image.height));
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return data_error(path, image.message);
    const std::size_t stride = static_cast<std::size_t>(image.width) * 3;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const std::uint8_t* p = &pixels[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * 3];
            picture.set_pixel(x, picture.height() - 1 - y, {p[0], p[1], p[2]});
        }
    out = std::move(picture);
    return Status::ok();
}

struct JpegReadErrors {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    char text[JMSG_LENGTH_MAX];
};

[[noreturn]] void jpeg_read_fail(j_common_ptr cinfo) {
    auto* errors = reinterpret_cast<JpegReadErrors*>(cinfo->err);
    cinfo->err->format_message(cinfo, errors->text);
    std::longjmp(errors->jump, 1);
}

void jpeg_read_quiet(j_common_ptr) {}

// Decodes into `pixels` (top row first); longjmp lands here only, so the
// function holds nothing with a destructor besides what the caller owns.
bool decode_jpeg_rows(const std::string& bytes, std::vector<std::uint8_t>& pixels, int& width, int& height,
                      JpegReadErrors& errors) {
    jpeg_decompress_struct cinfo{};
    cinfo.err = jpeg_std_error(&errors.mgr);
    errors.mgr.error_exit = jpeg_read_fail;
    errors.mgr.output_message = jpeg_read_quiet;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    if (too_large(cinfo.image_width, cinfo.image_height)) {
        std::snprintf(errors.text, sizeof errors.text, "the picture is too large");
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_start_decompress(&cinfo);
    width = static_cast<int>(cinfo.output_width);
    height = static_cast<int>(cinfo.output_height);
    pixels.resize(static_cast<std::size_t>(width) * height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &pixels[static_cast<std::size_t>(cinfo.output_scanline) * width * 3];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

Status decode_jpeg(const std::string& path, const std::string& bytes, Picture& out) {
    std::vector<std::uint8_t> pixels;
    int width = 0, height = 0;
    JpegReadErrors errors{};
    if (!decode_jpeg_rows(bytes, pixels, width, height, errors)) return data_error(path, errors.text);
    Picture picture(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
            picture.set_pixel(x, height - 1 - y, {p[0], p[1], p[2]});
        }
    out = std::move(picture);
    return Status::ok();
}

}  // namespace

Status read_picture(const std::string& path, Picture& out) {
    std::string bytes;
    if (Status s = read_regular_file(path, bytes, kMaxReadFileBytes); !s)
        return Status::fail(kErrorPictureIo, "cannot read " + path + ": " + s.message);
    const std::string_view head(bytes);
    if (head.starts_with("\x89PNG")) return decode_png(path, bytes, out);
    if (head.starts_with("\xFF\xD8\xFF")) return decode_jpeg(path, bytes, out);
    return data_error(path, "neither PNG nor JPEG");
}

}  // namespace tolvek::image
