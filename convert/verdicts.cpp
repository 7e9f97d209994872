#include "convert/verdicts.h"

#include <cstdio>

#include "convert/analysis.h"

namespace tolvek::convert {
namespace {

std::string printed(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A signed number with a true minus sign (U+2212), as titles print them.
std::string signed_text(double value) {
    std::string text = printed("%.1f", value + 0.0);
    if (text.starts_with('-')) text.replace(0, 1, "\xE2\x88\x92");
    return text;
}

}  // namespace

void add_sample_facts(const audio::SampleBits& bits, const audio::Tags& tags, Result& result) {
    result.artist = tags.artist;
    result.album = tags.album;
    result.title = tags.title;
    if (!analysis::is_lossless_codec(result.codec)) return;
    if (bits.floating)
        result.bit_depth = "float";
    else if (bits.stored > 0)
        result.bit_depth = std::to_string(bits.stored);
    result.effective_bits = bits.effective();
}

std::vector<std::string> frame_findings(const Result& result) {
    std::vector<std::string> findings;
    const auto origin = analysis::lossy_origin(result.codec, result.cutoff);
    if (origin && *origin == "suspected") {
        std::string text = "lossy origin suspected";
        if (result.cutoff->cliff) text += printed(" (cliff at %.1f kHz)", result.cutoff->hz / 1000.0);
        findings.push_back(text);
    }
    if (result.upsampled_from_hz) findings.push_back(printed("upsampled from %g kHz", *result.upsampled_from_hz / 1000.0));
    if (result.effective_bits && !result.bit_depth.empty() && result.bit_depth != "float" &&
        std::to_string(*result.effective_bits) != result.bit_depth)
        findings.push_back(std::to_string(*result.effective_bits) + " of " + result.bit_depth + " bits used");
    // "damaged at 0:45"; "damaged (MD5 mismatch)" where the fault has no place.
    if (result.damage) {
        const std::string text = damage_text(*result.damage);
        findings.push_back(result.damage->at_s ? text.substr(0, text.find(" (")) : text);
    }
    if (result.loudness_lufs) {
        std::string text = signed_text(*result.loudness_lufs) + " LUFS";
        if (result.true_peak_dbtp) text += ", TP " + signed_text(*result.true_peak_dbtp) + " dBTP";
        findings.push_back(text);
    }
    return findings;
}

}  // namespace tolvek::convert
