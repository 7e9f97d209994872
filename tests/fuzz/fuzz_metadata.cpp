// Any bytes as a picture whose text entries are read back, and which is
// checked for being whole: a status or the entries (within the text budget)
// and a size, never a crash or a runaway allocation.
#include <cstdint>
#include <cstdlib>

#include "image/picture.h"
#include "temp_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const tolvek::fuzz::TempFile file(data, size, ".png");
    tolvek::image::Metadata entries;
    const tolvek::Status status = tolvek::image::read_metadata(file.path(), entries);
    std::size_t text = 0;
    for (const auto& [key, value] : entries) text += key.size() + value.size();
    if (text > tolvek::image::kMetadataLimitBytes || text > size) std::abort();
    if (!status && status.message.empty()) std::abort();
    tolvek::image::PictureSize whole;
    const tolvek::Status checked = tolvek::image::whole_picture_size(file.path(), whole);
    if (!checked && checked.message.empty()) std::abort();
    if (checked && (whole.width < 0 || whole.height < 0)) std::abort();
    return 0;
}
