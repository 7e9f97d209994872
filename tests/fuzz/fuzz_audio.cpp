// The audio layer over arbitrary bytes, used the way a conversion uses it:
// open and measure; if it is a recorded stream, seek to a few positions
// (forward, past the end and back) and read a spectrum at each. The first
// byte picks the file name's ending, which the format probe takes as a hint.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "audio/audio.h"
#include "temp_file.h"

namespace audio = tolvek::audio;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!audio::start()) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const std::array<const char*, 10> kSuffixes = {"",     ".wav", ".mp3",  ".flac", ".ogg",
                                                          ".aiff", ".mod", ".opus", ".m4a",  ".wma"};
    const tolvek::fuzz::TempFile file(data + 1, size - 1, kSuffixes[data[0] % kSuffixes.size()]);

    tolvek::Status opened;
    auto stream = audio::Stream::open(file.path(), opened);
    if (!stream) {
        if (opened || opened.message.empty()) std::abort();  // a failure always has a code and words
        return 0;
    }
    const std::uint64_t length = stream->length_bytes();
    const float seconds = stream->bytes_to_seconds(length);
    const audio::StreamInfo info = stream->info();
    if (info.rate == 0 || info.channels == 0 || std::isnan(seconds) || seconds < 0) std::abort();
    if ((info.type & (audio::kTypeStream | audio::kTypeWav)) == 0) return 0;  // not read further, like a conversion

    std::array<float, audio::kSpectrumBins> spectrum{};
    for (const std::uint64_t pos : {std::uint64_t{0}, length / 3, length - length / 10, length + 4096, std::uint64_t{0}}) {
        if (!stream->seek(pos)) continue;
        // A damaged stretch still gives a filled window; only a stream that
        // could not be reopened gives none.
        if (const tolvek::Status read = stream->read_spectrum(spectrum); read.code == audio::kErrorHandle) continue;
        for (const float m : spectrum)
            if (!(m >= 0.0f) || std::isinf(m)) std::abort();  // non-negative and finite
    }
    return 0;
}
