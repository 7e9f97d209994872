// Antialiased text on a Picture: a font found through fontconfig, drawn by
// FreeType. Nothing outside image/ sees either library.
#pragma once

#include <memory>
#include <string_view>

#include "common/status.h"
#include "image/picture.h"

namespace tolvek::image {

class Font {
public:
    // The system's sans-serif font (DejaVu Sans where installed) at
    // `pixel_size` pixels per em. Fails with a message when fontconfig
    // finds no font or FreeType cannot open it.
    static Status open(int pixel_size, std::unique_ptr<Font>& out);
    ~Font();
    Font(const Font&) = delete;
    Font& operator=(const Font&) = delete;

    // Pixels from the baseline up to the top of the tallest letters, and
    // from one baseline to the next.
    int ascent() const;
    int line_height() const;
    // The advance width of a UTF-8 string; an invalid byte counts as U+FFFD.
    int width(std::string_view utf8) const;
    // Draws `utf8` with its baseline on picture row `baseline` (counted
    // from the top, as text is laid out) starting at column x, blending
    // `colour` over what is there; pixels outside the picture are skipped.
    void draw(Picture& picture, int x, int baseline, std::string_view utf8, Rgb colour) const;

    struct Impl;

private:
    explicit Font(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace tolvek::image
