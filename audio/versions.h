// The check start() makes on the FFmpeg libraries found at run time.
#pragma once

#include <span>

#include "common/status.h"

namespace tolvek::audio {

struct LibraryVersion {
    const char* name;    // "libavcodec"
    unsigned built = 0;  // major version the program was built against
    unsigned found = 0;  // major version of the library in use
};

// kErrorStart naming the first library whose major versions differ, e.g.
// "libavcodec 59 was built against, 60 found"; ok when none differ.
Status check_versions(std::span<const LibraryVersion> libraries);

}  // namespace tolvek::audio
