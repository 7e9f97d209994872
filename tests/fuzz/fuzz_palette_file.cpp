// A whole palette file: arbitrary bytes, long lines, NULs and all.
#include <array>
#include <cstdint>
#include <cstdlib>

#include "palette/palette.h"
#include "temp_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const tolvek::fuzz::TempFile file(data, size, ".pal");
    std::array<std::array<unsigned char, 256>, 2> tables[3];
    for (int run = 0; run < 2; ++run) {
        // Different leftovers each time, so an entry left unwritten shows.
        for (auto& t : tables) t[run].fill(run ? 0xAA : 0x55);
        unsigned char* palette[3] = {tables[0][run].data(), tables[1][run].data(), tables[2][run].data()};
        tolvek::palette::load_palette_file(file.path().c_str(), palette);
    }
    // Every entry is filled from the file or the built-in gradient.
    for (const auto& t : tables)
        if (t[0] != t[1]) std::abort();
    return 0;
}
