// A whole palette file: arbitrary bytes, long lines, NULs and all.
#include <array>
#include <cstdint>
#include <cstdlib>

#include "palette/palette.h"
#include "temp_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const tolvek::fuzz::TempFile file(data, size, ".pal");
    tolvek::palette::Colours colours[2];
    for (int run = 0; run < 2; ++run) {
        // Different leftovers each time, so an entry left unwritten shows.
        for (auto* t : {&colours[run].red, &colours[run].green, &colours[run].blue}) t->fill(run ? 0xAA : 0x55);
        tolvek::palette::load_palette_file(file.path().c_str(), colours[run]);
    }
    // Every entry is filled from the file or the built-in gradient.
    if (colours[0].red != colours[1].red || colours[0].green != colours[1].green || colours[0].blue != colours[1].blue)
        std::abort();
    return 0;
}
