// The PNG encoder behind Picture::save: the few chunks our pictures need,
// written here, with the pixel data compressed by libdeflate, which does in
// a third of the time what zlib's fastest level does, and smaller.
#pragma once

#include <cstdio>

#include "common/status.h"
#include "image/picture.h"

namespace tolvek::image {

// The libdeflate levels save() uses, for RGB rows and for palette indices:
// chosen by measurement (bench/README.md, Stages). On indices level 1 is a
// quarter faster than 2 and the file no larger.
inline constexpr int kPngDeflateLevel = 2;
inline constexpr int kPngIndexedDeflateLevel = 1;

// Writes to `out` a whole PNG file of `picture`: signature, IHDR (8-bit
// RGB, or 8-bit palette indices when the picture holds at most 256
// colours), one uncompressed iTXt chunk per metadata entry in order, PLTE
// for a palette, the rows unfiltered in IDAT, IEND. The keywords are tidied as libpng tidies them
// (leading, trailing and repeated spaces dropped). Fails with kSaveEncode
// for an empty picture, a side over 1,000,000 pixels or a keyword of
// spaces (then nothing is written), kSaveWrite when a write fails.
// `level` is the level for RGB rows.
Status write_png(const Picture& picture, const Metadata& metadata, std::FILE* out, int level = kPngDeflateLevel);

}  // namespace tolvek::image
