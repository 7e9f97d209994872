// One palette line, as the file reader hands it over: at most 79 characters
// and a terminator. The parser writes into the line, so it gets a copy.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "palette/palette.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    line.resize(line.find('\0') == std::string::npos ? line.size() : line.find('\0'));
    const std::string original = line;

    unsigned char index = 0, red = 0, green = 0, blue = 0;
    const int point = parse_palette_line(line.data(), &index, &red, &green, &blue);
    if (point != 0 && point != 1) std::abort();

    // Without destinations the answer must be the same.
    std::string again = original;
    if (parse_palette_line(again.data(), nullptr, nullptr, nullptr, nullptr) != point) std::abort();
    return 0;
}
