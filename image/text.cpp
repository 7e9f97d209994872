#include "image/text.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <string>

namespace tolvek::image {
namespace {

struct FcConfigFree {
    void operator()(FcConfig* c) const { FcConfigDestroy(c); }
};
struct FcPatternFree {
    void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
struct FtLibraryFree {
    void operator()(FT_Library l) const { FT_Done_FreeType(l); }
};
struct FtFaceFree {
    void operator()(FT_Face f) const { FT_Done_Face(f); }
};
using FcConfigPtr = std::unique_ptr<FcConfig, FcConfigFree>;
using FcPatternPtr = std::unique_ptr<FcPattern, FcPatternFree>;
using FtLibraryPtr = std::unique_ptr<std::remove_pointer_t<FT_Library>, FtLibraryFree>;
using FtFacePtr = std::unique_ptr<std::remove_pointer_t<FT_Face>, FtFaceFree>;

constexpr char32_t kReplacement = 0xFFFD;

// The file and face index of the best match for a sans-serif font. A
// configuration of our own, so that no process-wide fontconfig state is
// kept between conversions.
Status find_font(std::string& file, int& index) {
    const FcConfigPtr config(FcInitLoadConfigAndFonts());
    if (!config) return Status::fail(kFontError, "fontconfig could not load its configuration");
    const FcPatternPtr pattern(FcNameParse(reinterpret_cast<const FcChar8*>("DejaVu Sans:style=Book")));
    if (!pattern) return Status::fail(kFontError, "fontconfig could not make a font pattern");
    FcConfigSubstitute(config.get(), pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    const FcPatternPtr match(FcFontMatch(config.get(), pattern.get(), &result));
    FcChar8* path = nullptr;
    if (!match || FcPatternGetString(match.get(), FC_FILE, 0, &path) != FcResultMatch || !path)
        return Status::fail(kFontError, "fontconfig found no font");
    file = reinterpret_cast<const char*>(path);
    if (FcPatternGetInteger(match.get(), FC_INDEX, 0, &index) != FcResultMatch) index = 0;
    return Status::ok();
}

// The code point at `pos`, advancing `pos`; U+FFFD for a byte that does not
// start a valid sequence.
char32_t next_code_point(std::string_view s, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(s[pos++]);
    if (lead < 0x80) return lead;
    const int extra = lead >= 0xC2 && lead <= 0xDF   ? 1
                      : lead >= 0xE0 && lead <= 0xEF ? 2
                      : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                     : 0;
    if (extra == 0 || pos + extra > s.size()) return kReplacement;
    char32_t cp = lead & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        const auto c = static_cast<unsigned char>(s[pos + k]);
        if ((c & 0xC0) != 0x80) return kReplacement;
        cp = (cp << 6) | (c & 0x3F);
    }
    pos += extra;
    const char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < smallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
    return cp;
}

std::uint8_t mix(std::uint8_t under, std::uint8_t over, unsigned coverage) {
    return static_cast<std::uint8_t>((under * (255 - coverage) + over * coverage + 127) / 255);
}

}  // namespace

struct Font::Impl {
    FtLibraryPtr library;
    FtFacePtr face;

    // Loads and renders the glyph of `cp` into the face's glyph slot.
    bool render(char32_t cp) const {
        return FT_Load_Char(face.get(), cp, FT_LOAD_RENDER | FT_LOAD_TARGET_LIGHT) == 0;
    }
};

Status Font::open(int pixel_size, std::unique_ptr<Font>& out) {
    std::string file;
    int index = 0;
    if (Status found = find_font(file, index); !found) return found;
    auto impl = std::make_unique<Impl>();
    FT_Library library = nullptr;
    if (FT_Init_FreeType(&library) != 0) return Status::fail(kFontError, "FreeType could not start");
    impl->library.reset(library);
    FT_Face face = nullptr;
    if (FT_New_Face(library, file.c_str(), index, &face) != 0)
        return Status::fail(kFontError, "FreeType could not open the font " + file);
    impl->face.reset(face);
    if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(pixel_size)) != 0)
        return Status::fail(kFontError, "the font " + file + " has no size of " + std::to_string(pixel_size) + " px");
    out.reset(new Font(std::move(impl)));
    return Status::ok();
}

Font::Font(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Font::~Font() = default;

int Font::ascent() const { return static_cast<int>(impl_->face->size->metrics.ascender >> 6); }
int Font::line_height() const { return static_cast<int>(impl_->face->size->metrics.height >> 6); }

int Font::width(std::string_view utf8) const {
    long advance = 0;
    for (std::size_t pos = 0; pos < utf8.size();)
        if (impl_->render(next_code_point(utf8, pos))) advance += impl_->face->glyph->advance.x;
    return static_cast<int>(advance >> 6);
}

void Font::draw(Picture& picture, int x, int baseline, std::string_view utf8, Rgb colour) const {
    long pen = static_cast<long>(x) << 6;
    for (std::size_t pos = 0; pos < utf8.size();) {
        if (!impl_->render(next_code_point(utf8, pos))) continue;
        const FT_GlyphSlot g = impl_->face->glyph;
        const FT_Bitmap& bm = g->bitmap;
        const int left = static_cast<int>(pen >> 6) + g->bitmap_left;
        const int top = baseline - g->bitmap_top;
        for (unsigned r = 0; r < bm.rows; ++r) {
            const int row = top + static_cast<int>(r);
            if (row < 0 || row >= picture.height()) continue;
            const int y = picture.height() - 1 - row;  // the picture counts rows from the bottom
            for (unsigned c = 0; c < bm.width; ++c) {
                const int px = left + static_cast<int>(c);
                const unsigned coverage = bm.buffer[static_cast<long>(r) * bm.pitch + c];
                if (px < 0 || px >= picture.width() || coverage == 0) continue;
                const Rgb under = picture.pixel(px, y);
                picture.set_pixel(px, y, {mix(under.r, colour.r, coverage), mix(under.g, colour.g, coverage),
                                          mix(under.b, colour.b, coverage)});
            }
        }
        pen += g->advance.x;
    }
}

}  // namespace tolvek::image
