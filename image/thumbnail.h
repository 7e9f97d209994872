// Small copies of a picture for an index page, and reading a saved picture
// back when no painted one is at hand (a file that was already up to date).
#pragma once

#include <cstddef>
#include <string>

#include "common/status.h"
#include "image/picture.h"

namespace tolvek::image {

// Pictures larger than this are refused rather than decoded: ours are at
// most 1000 x 1024, and a damaged header must not ask for gigabytes.
constexpr std::size_t kMaxReadPixels = std::size_t{1} << 24;
constexpr std::size_t kMaxReadFileBytes = std::size_t{64} << 20;

// `source` scaled to `width` columns (never wider than it is), the height in
// proportion and at least 1; each pixel is the mean of the source pixels its
// box covers, so thin lines fade instead of vanishing or aliasing.
Picture thumbnail(const Picture& source, int width);

// Decodes the PNG or JPEG at `path` (told apart by its first bytes) into
// `out`. Damaged or oversized files give a Status, never a crash.
Status read_picture(const std::string& path, Picture& out);

}  // namespace tolvek::image
