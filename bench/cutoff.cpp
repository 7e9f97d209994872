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

struct Measured {
    analysis::Cutoff cut;  // all zero where no segment votes (a bare sweep): nothing is flagged
    std::uint32_t rate = 0;
    std::optional<int> effective_bits;
};

// The cutoff of a file over kColumns evenly spaced windows; nothing when it
// cannot be read.
std::optional<Measured> measure(const std::string& path, bool print_levels = false) {
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
    return Measured{meter.cutoff().value_or(analysis::Cutoff{}), info.rate, stream->sample_bits().effective()};
}

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Group {
    int files = 0, flagged = 0;
    int upsampled_right = 0, upsampled_wrong = 0, bits_right = 0;
    std::vector<double> cutoff_hz, error_hz, drop_db, holes_pct;
};

// "wide3.mp3-128-loud.flac" → "mp3-128" (its three versions together);
// "roll2.genuine.flac" → "genuine-roll".
std::string group_of(const std::string& name) {
    const auto first = name.find('.'), second = name.find('.', first + 1);
    std::string kind = name.substr(first + 1, second - first - 1);
    for (const std::string suffix : {"-loud", "-quiet"})
        if (kind.ends_with(suffix)) kind.resize(kind.size() - suffix.size());
    return kind == "genuine" ? "genuine-" + name.substr(0, 4) : kind;
}

// What each genuine kind must show: the rate it was resampled from, and the
// bits its samples use.
std::optional<std::uint32_t> expected_upsampled(const std::string& group) {
    return group.starts_with("genuine-up") ? std::optional<std::uint32_t>(44100) : std::nullopt;
}
int expected_bits(const std::string& group) { return group == "genuine-fu24" ? 24 : 16; }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--levels") {  // the long-term spectrum of one file
        const auto measured = measure(argv[2], true);
        const auto* cut = measured ? &measured->cut : nullptr;
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
        const auto measured = measure(path.string());
        if (!measured) { std::fprintf(stderr, "cannot measure %s\n", path.c_str()); continue; }
        const auto* cut = &measured->cut;
        const std::string group = group_of(path.filename().string());
        Group& g = groups[group];
        ++g.files;
        const auto upsampled = analysis::upsampled_from_hz("flac", measured->rate, measured->cut);
        g.upsampled_right += upsampled && upsampled == expected_upsampled(group) ? 1 : 0;
        g.upsampled_wrong += upsampled != expected_upsampled(group) ? 1 : 0;
        g.bits_right += measured->effective_bits == expected_bits(group) ? 1 : 0;
        g.flagged += analysis::lossy_origin("flac", measured->cut) == "suspected" ? 1 : 0;
        g.cutoff_hz.push_back(cut->hz);
        g.drop_db.push_back(cut->drop_db);
        g.holes_pct.push_back(cut->holes_pct);
        // The encoder's own low-pass, measured on the decoded lossy file.
        const std::string stem = path.stem().string();
        for (const char* ext : {".mp3", ".m4a", ".ogg", ".opus"}) {
            const auto lossy = path.parent_path() / (stem + ext);
            if (!std::filesystem::exists(lossy)) continue;
            if (const auto ref = measure(lossy.string())) g.error_hz.push_back(std::abs(cut->hz - ref->cut.hz));
        }
    }
    std::printf("%-14s %6s %8s %9s %10s %12s %11s %13s %10s %9s\n", "setting", "files", "flagged", "not", "flagged %",
                "median cut", "median drop", "holes min-max", "upsampled", "bits ok");
    int transcodes = 0, transcodes_flagged = 0, genuine = 0, genuine_flagged = 0, up_wrong = 0, bits_wrong = 0;
    for (const auto& [name, g] : groups) {
        const auto [least, most] = std::minmax_element(g.holes_pct.begin(), g.holes_pct.end());
        const bool is_genuine = name.starts_with("genuine");
        std::printf("%-14s %6d %8d %9d %9.1f%% %9.0f Hz %8.1f dB %5.2f-%5.2f%% %10d", name.c_str(), g.files, g.flagged,
                    g.files - g.flagged, 100.0 * g.flagged / std::max(g.files, 1), median(g.cutoff_hz),
                    median(g.drop_db), *least, *most, g.upsampled_right);
        if (is_genuine) std::printf(" %5d/%d", g.bits_right, g.files);
        std::printf("\n");
        up_wrong += g.upsampled_wrong;
        if (is_genuine) {
            genuine += g.files;
            genuine_flagged += g.flagged;
            bits_wrong += g.files - g.bits_right;
        } else {
            transcodes += g.files;
            transcodes_flagged += g.flagged;
        }
    }
    std::printf("\nconfusion over all files:\n%24s %10s %10s\n", "", "suspected", "no");
    std::printf("%24s %10d %10d\n%24s %10d %10d\n", "transcode", transcodes_flagged, transcodes - transcodes_flagged,
                "genuine", genuine_flagged, genuine - genuine_flagged);
    std::printf("\ntranscodes flagged: %d of %d (%.1f%%, target >= 95%%)\n", transcodes_flagged, transcodes,
                100.0 * transcodes_flagged / std::max(transcodes, 1));
    std::printf("genuine files flagged: %d of %d (target 0)\n", genuine_flagged, genuine);
    std::printf("upsampled_from_hz wrong (missing on a resampled file or set on another): %d (target 0)\n", up_wrong);
    std::printf("effective_bits wrong on genuine files: %d (target 0)\n", bits_wrong);
    return 0;
}
