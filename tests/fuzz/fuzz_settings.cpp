// The settings reader over arbitrary text; whatever it reads stays in range.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "frontend/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const tolvek::frontend::Settings s = tolvek::frontend::parse_settings(text);
    std::string output = s.output;
    std::transform(output.begin(), output.end(), output.begin(), [](unsigned char c) { return std::tolower(c); });
    const bool jpeg = output == "jpeg" || output == "jpg";
    const bool ok = s.quality >= 10 && s.quality <= 100 && (s.recursive == 0 || s.recursive == 1) &&
                    (s.grid == 0 || s.grid == 1) && (s.local == 0 || s.local == 1) && s.output.size() <= 4 &&
                    (s.format == tolvek::image::FileType::Jpeg) == jpeg && !s.palette.empty() &&
                    s.verbose >= 0 && s.verbose <= 2 && s.jobs >= 0;
    if (!ok) std::abort();
    return 0;
}
