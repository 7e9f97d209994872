// How well the cutoff and cliff rules of convert/analysis.h tell transcodes
// from genuine lossless files, on the corpus bench/cutoff-corpus.sh writes.
//   tolvek_cutoff DIR
//   tolvek_cutoff --levels FILE   (the long-term spectrum of one file)
// Spectra come straight from audio::Stream (the columns a conversion would
// read), so the measurement needs no conversion and no pictures.
#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "convert/analysis.h"

namespace {

namespace analysis = tolvek::convert::analysis;
constexpr int kColumns = 400;

// The cutoff of a file over kColumns evenly spaced windows; nothing when it
// cannot be read.
std::optional<analysis::Cutoff> measure(const std::string& path, bool print_levels = false) {
    tolvek::Status opened;
    auto stream = tolvek::audio::Stream::open(path, opened);
    if (!stream) return std::nullopt;
    const auto info = stream->info();
    const std::uint64_t frame_bytes = 2ULL * info.channels;
    const std::uint64_t frames = stream->length_bytes() / frame_bytes;
    analysis::SpectrumMeter meter(info.rate, true);
    std::array<float, tolvek::audio::kSpectrumBins> spectrum{};
    for (int c = 0; c < kColumns; ++c) {
        const std::uint64_t frame = frames * c / kColumns;
        if (!stream->seek(frame * frame_bytes) || !stream->read_spectrum(spectrum)) return std::nullopt;
        meter.add(spectrum);
    }
    if (print_levels) {
        const auto levels = meter.levels_db();
        for (int k = 0; k < tolvek::audio::kSpectrumBins; k += 8)
            std::printf("%7.0f Hz %7.1f dB\n", k * info.rate / 2048.0, levels[k]);
    }
    return meter.cutoff();
}

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Group {
    int files = 0, flagged = 0;
    std::vector<double> cutoff_hz, error_hz, drop_db, holes_pct;
};

// "wide3.mp3-128.flac" → "mp3-128"; "roll2.genuine.flac" → "genuine-roll".
std::string group_of(const std::string& name) {
    const auto first = name.find('.'), second = name.find('.', first + 1);
    const std::string kind = name.substr(first + 1, second - first - 1);
    return kind == "genuine" ? "genuine-" + name.substr(0, 4) : kind;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--levels") {  // the long-term spectrum of one file
        const auto cut = measure(argv[2], true);
        if (cut)
            std::printf("cutoff %.0f Hz, drop %.1f dB, cliff %d, holes %.2f%% (%d)\n", cut->hz, cut->drop_db, cut->cliff,
                        cut->holes_pct, cut->holes);
        return cut ? 0 : 1;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: tolvek_cutoff DIR (made by bench/cutoff-corpus.sh)\n");
        return 64;
    }
    std::map<std::string, Group> groups;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1]))
        if (entry.path().extension() == ".flac") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        const auto cut = measure(path.string());
        if (!cut) { std::fprintf(stderr, "cannot measure %s\n", path.c_str()); continue; }
        Group& g = groups[group_of(path.filename().string())];
        ++g.files;
        g.flagged += analysis::lossy_origin("flac", cut) == "suspected" ? 1 : 0;
        g.cutoff_hz.push_back(cut->hz);
        g.drop_db.push_back(cut->drop_db);
        g.holes_pct.push_back(cut->holes_pct);
        // The encoder's own low-pass, measured on the decoded lossy file.
        const std::string stem = path.stem().string();
        for (const char* ext : {".mp3", ".m4a", ".ogg", ".opus"}) {
            const auto lossy = path.parent_path() / (stem + ext);
            if (!std::filesystem::exists(lossy)) continue;
            if (const auto ref = measure(lossy.string())) g.error_hz.push_back(std::abs(cut->hz - ref->hz));
        }
    }
    std::printf("%-14s %6s %8s %12s %14s %13s %11s %13s\n", "group", "files", "flagged", "flagged %", "median cut Hz",
                "median |err|", "median drop", "holes min-max");
    int low_rate = 0, low_rate_flagged = 0, genuine = 0, genuine_flagged = 0;
    for (const auto& [name, g] : groups) {
        const auto [least, most] = std::minmax_element(g.holes_pct.begin(), g.holes_pct.end());
        std::printf("%-14s %6d %8d %11.1f%% %14.0f %13.0f %8.1f dB %5.2f-%5.2f%%\n", name.c_str(), g.files, g.flagged,
                    100.0 * g.flagged / std::max(g.files, 1), median(g.cutoff_hz), median(g.error_hz),
                    median(g.drop_db), *least, *most);
        const bool is_genuine = name.starts_with("genuine");
        if (is_genuine) { genuine += g.files; genuine_flagged += g.flagged; }
        else if (name != "mp3-320") { low_rate += g.files; low_rate_flagged += g.flagged; }
    }
    std::printf("\ntranscodes from 256 kbps and below flagged: %d of %d (%.1f%%, target >= 95%%)\n",
                low_rate_flagged, low_rate, 100.0 * low_rate_flagged / std::max(low_rate, 1));
    std::printf("genuine lossless files flagged:             %d of %d (%.1f%%, target <= 2%%)\n", genuine_flagged,
                genuine, 100.0 * genuine_flagged / std::max(genuine, 1));
    std::printf("\nconfusion (transcodes incl. mp3-320):\n%24s %10s %10s\n", "", "suspected", "no");
    int tp = 0, fn = 0;
    for (const auto& [name, g] : groups)
        if (!name.starts_with("genuine")) { tp += g.flagged; fn += g.files - g.flagged; }
    std::printf("%24s %10d %10d\n%24s %10d %10d\n", "transcode", tp, fn, "genuine", genuine_flagged,
                genuine - genuine_flagged);
    return 0;
}
