// Makes a fake run for the browser test and the index measurement: pictures
// in a tree with awkward names, their records, and the index page written
// through report::IndexWriter as the run loop will call it. Stands in for
// `tolvek --index` until the option is wired into the run.
//   tolvek_index_driver <folder> <files>
// writes <folder>/music/... (pictures), <folder>/report/index.html and
// <folder>/report/index_files/.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "image/picture.h"
#include "report/index.h"
#include "report/record.h"

namespace {

using tolvek::image::Picture;
using tolvek::report::Record;

// Names that break naive HTML or URLs; the first few files get them. A
// '/' in a name is a folder, so the first one is "<script>alert(1)<" holding
// "script>.wav".
const std::vector<std::string> kAwkwardNames = {
    "<script>alert(1)</script>.wav", "quote\"and'apos.wav", "hash#1.wav", "what?.wav",
    "100%.wav",                      "with space.wav",      "na\xC3\xAFve.wav", "bad\xFF.wav",
};

// A spectrogram-like picture: a falling band, noise below a cutoff row.
Picture fake_picture(int width, int height, int seed) {
    Picture p(width, height);
    const int cutoff = height * (4 + seed % 5) / 10;
    unsigned state = 2463534242u + static_cast<unsigned>(seed);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y) {
            state ^= state << 13, state ^= state >> 17, state ^= state << 5;
            const double level = y < cutoff ? 0.35 + 0.3 * std::sin(x * 0.05 + seed) * (1.0 - double(y) / cutoff) : 0.0;
            const double v = std::clamp(level + (state % 64) / 640.0, 0.0, 1.0);
            p.set_pixel(x, y, {static_cast<std::uint8_t>(255 * std::min(1.0, v * 2)),
                               static_cast<std::uint8_t>(255 * v * v), static_cast<std::uint8_t>(90 * (1 - v))});
        }
    return p;
}

Record fake_record(const std::string& source, int i) {
    Record r;
    r.source = source;
    r.status = "written";
    r.picture = source + ".png";
    r.codec = i % 3 ? "mp3" : "pcm_s16le";
    r.rate_hz = i % 2 ? 44100 : 48000;
    r.channels = 1 + i % 2;
    r.duration_s = 30.0 + (i * 37 % 400) * 0.7;
    r.bitrate_kbps = i % 3 ? 128 + 64 * (i % 3) : 1411.2;
    r.peak_dbfs = -0.1 - (i * 13 % 120) / 10.0;
    r.clipped_samples = i % 7 == 0 ? i * 3 : 0;
    r.silence_pct = (i * 11 % 100) / 4.0;
    if (i % 9 != 4) r.cutoff_hz = 11000.0 + (i * 7919 % 10000);  // some files have none
    r.lossy_origin = "no";
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <folder> <files>\n", argv[0]);
        return 64;
    }
    const std::string root = argv[1];
    const int count = std::max(3, std::atoi(argv[2]));
    // Small pictures for big runs: the measurement is of the page, not of painting.
    const int height = count > 100 ? 128 : 1024;
    std::filesystem::create_directories(root + "/report");
    const tolvek::report::IndexWriter index(root + "/report/index.html");
    std::vector<Record> records;
    for (int i = 0; i < count; ++i) {
        const std::string name = i < int(kAwkwardNames.size()) ? kAwkwardNames[i] : "track " + std::to_string(i) + ".wav";
        Record r = fake_record(root + (i % 2 ? "/music/sub dir/" : "/music/") + name, i);
        if (i == count - 1) {  // one failure: no picture
            r = Record{};
            r.source = root + "/music/broken.wav";
            r.status = "unreadable";
            r.reason = "Invalid data found when processing input";
        } else {
            if (i == count / 2) r.lossy_origin = "suspected", r.cutoff_hz = 16000.0;
            // A '/' in a name makes folders: "<script>alert(1)<" holds "script>.wav".
            std::filesystem::create_directories(std::filesystem::path(*r.picture).parent_path());
            const Picture picture = fake_picture(250 + (i * 97 % 750), height, i);
            if (const tolvek::Status saved = picture.save(*r.picture, tolvek::image::FileType::Png); !saved) {
                std::fprintf(stderr, "%s\n", saved.message.c_str());
                return 74;
            }
            // One file as if up to date: its thumbnail comes from the file on disk.
            tolvek::Status s = i == 1 ? (r.status = "up-to-date", index.keep_thumbnail(r)) : index.add_thumbnail(r, picture);
            if (!s) {
                std::fprintf(stderr, "%s\n", s.message.c_str());
                return 74;
            }
        }
        records.push_back(r);
    }
    if (tolvek::Status s = index.finish(records); !s) {
        std::fprintf(stderr, "%s\n", s.message.c_str());
        return 2;
    }
    return 0;
}
