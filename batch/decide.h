// What happens to a file the walk found, decided before anything converts
// it: another shard's, a file this program wrote (a picture or the numbers
// behind one), a second file for a picture this run has made, up to date, or
// to be converted.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "batch/shard.h"
#include "common/status.h"
#include "convert/convert.h"
#include "report/index.h"
#include "report/record.h"

namespace tolvek::batch {

enum class Fate { Convert, OtherShard, DuplicatePicture, UpToDate, OwnOutput };

struct Decision {
    Fate fate = Fate::Convert;
    std::string picture;                   // where the file's picture goes
    std::optional<report::Record> record;  // for every fate but Convert and OtherShard
    // An up-to-date picture whose thumbnail could not be kept or made.
    std::optional<Status> thumbnail_problem;
};

struct DecideSettings {
    const convert::Options& conversion;
    bool update = false;
    const std::optional<Shard>& shard;
    const report::IndexWriter* index = nullptr;  // thumbnails kept for up-to-date pictures
};

// A file this program wrote: a picture or numbers file named after a file
// beside it ("song.mp3.png", "song.mp3.npz"), or a picture that carries our
// stamp wherever it is.
bool is_own_output(const std::string& path);

// The fate of `path`, whose output path is `outpath`. `claimed` holds the
// picture paths of the files this run converts or skips; the file's picture
// joins it unless the file is another shard's. An up-to-date picture keeps
// its thumbnail; one whose pixels cannot be decoded is converted again.
Decision decide(const std::string& path, const std::string& outpath, const DecideSettings& settings,
                std::set<std::string>& claimed);

// The record of a source whose picture records that it is up to date, from
// what the picture keeps; nothing when the picture is missing, from another
// version or settings, older than its source, or not whole (cut short,
// damaged, or of another size than it was saved at). The source is not opened.
std::optional<report::Record> up_to_date(const std::string& path, const std::string& picture,
                                         const convert::Options& options);

}  // namespace tolvek::batch
