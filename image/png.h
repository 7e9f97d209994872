// The PNG encoder behind Picture::save: the few chunks our pictures need,
// written here, with the pixel data compressed by libdeflate, which does in
// a third of the time what zlib's fastest level does, and smaller.
#pragma once

#include <cstdint>
#include <vector>

#include "common/status.h"
#include "image/picture.h"

namespace tolvek::image {

// The libdeflate level save() uses: chosen by measurement (README, Benchmarks).
inline constexpr int kPngDeflateLevel = 2;

// Appends to `out` a whole PNG file of `picture`: signature, IHDR (8-bit
// RGB), one uncompressed iTXt chunk per metadata entry in order, the rows
// unfiltered in IDAT, IEND. The keywords are tidied as libpng tidies them
// (leading, trailing and repeated spaces dropped). Fails with kSaveEncode
// for an empty picture, a side over 1,000,000 pixels or a keyword of spaces.
Status encode_png(const Picture& picture, const Metadata& metadata, std::vector<std::uint8_t>& out,
                  int level = kPngDeflateLevel);

}  // namespace tolvek::image
