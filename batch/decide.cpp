#include "batch/decide.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <cmath>
#include <filesystem>

#include "batch/records.h"
#include "convert/npz.h"
#include "convert/stamp.h"
#include "image/picture.h"
#include "image/thumbnail.h"

namespace tolvek::batch {
namespace {

// A file this program wrote: a picture or data file named after a file
// beside it ("song.mp3.png", "song.mp3.npz"), or a picture that carries our
// stamp wherever it is. Known so without handing it to the decoders.
}  // namespace

constexpr std::array<const char*, 2> kPictureEndings = {".png", ".jpg"};

bool is_own_output(const std::string& path) {
    const std::filesystem::path p(path);
    std::string ending = p.extension().string();
    std::transform(ending.begin(), ending.end(), ending.begin(), [](unsigned char c) { return std::tolower(c); });
    const bool picture = ending == ".png" || ending == ".jpg" || ending == ".jpeg";
    if (!picture && ending != ".npz") return false;
    struct stat st;
    const std::string name = p.parent_path().append(p.stem().string());
    if (stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return true;
    // Numbers files in a mirrored tree lie beside their pictures.
    if (!picture)
        return std::any_of(kPictureEndings.begin(), kPictureEndings.end(), [&](const char* ending) {
            return stat((name + ending).c_str(), &st) == 0 && S_ISREG(st.st_mode);
        });
    image::Metadata metadata;
    return picture && image::read_metadata(path, metadata) && convert::read_stamp(metadata).has_value();
}

namespace {

// The up-to-date decision with its thumbnail; nothing when the file is to
// be converted.
std::optional<Decision> skip_up_to_date(const std::string& path, const std::string& picture,
                                        const DecideSettings& settings) {
    const auto start = std::chrono::steady_clock::now();
    std::optional<report::Record> record = up_to_date(path, picture, settings.conversion);
    if (!record) return std::nullopt;
    record->elapsed_ms =
        std::round(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    Decision d{Fate::UpToDate, picture, std::move(record), std::nullopt};
    if (settings.index) {
        Status kept = settings.index->keep_thumbnail(*d.record);
        // Pixels that cannot be decoded make the picture out of date.
        if (kept.code == image::kErrorPictureData) return std::nullopt;
        if (!kept) d.thumbnail_problem = std::move(kept);
    }
    return d;
}

}  // namespace

std::optional<report::Record> up_to_date(const std::string& path, const std::string& picture,
                                         const convert::Options& options) {
    image::Metadata metadata;
    convert::Stamp now;
    if (!image::read_metadata(picture, metadata) || !convert::stamp_for(path, options, now)) return std::nullopt;
    if (convert::read_stamp(metadata) != now) return std::nullopt;
    const std::optional<image::PictureSize> saved = convert::read_picture_size(metadata);
    image::PictureSize found;
    if (!saved || !image::whole_picture_size(picture, found) || found != *saved) return std::nullopt;
    // The numbers behind the picture are written again when missing.
    std::error_code no_data;
    if (options.data && !std::filesystem::is_regular_file(convert::data_path(picture), no_data)) return std::nullopt;
    return report::Record::up_to_date(path, picture, stored_record(metadata).value_or(report::Record{}));
}

Decision decide(const std::string& path, const std::string& outpath, const DecideSettings& settings,
                std::set<std::string>& claimed) {
    // Another run of the same shard set converts it.
    if (settings.shard && !owns(*settings.shard, path)) return {Fate::OtherShard, {}, std::nullopt, std::nullopt};
    const std::string picture = convert::picture_path(path, outpath, settings.conversion);
    if (is_own_output(path)) return {Fate::OwnOutput, picture, std::nullopt, std::nullopt};
    // Two patterns mirrored onto one place would overwrite a picture this
    // run has already made.
    if (!claimed.insert(picture).second)
        return {Fate::DuplicatePicture, picture, report::Record::duplicate_picture(path, picture), std::nullopt};
    if (settings.update) {
        if (std::optional<Decision> skipped = skip_up_to_date(path, picture, settings)) return std::move(*skipped);
    }
    return {Fate::Convert, picture, std::nullopt, std::nullopt};
}

}  // namespace tolvek::batch
