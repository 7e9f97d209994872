// What the FFmpeg libraries in use can read, for the command line's
// --formats listing.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace tolvek::audio {

// The file name endings (any case) that name an audio file.
inline constexpr auto kAudioExtensions = std::to_array<std::string_view>(
    {"mp3", "mp2", "mp1", "ogg", "oga", "opus", "wav", "aif", "aiff", "aifc", "flac", "wma",
     "ape", "m4a", "aac", "wv", "mka", "ac3", "dts", "tta", "mpc", "caf", "w64", "au"});

// Whether `ending` (without the dot) is one of kAudioExtensions, any case.
bool is_audio_extension(std::string_view ending);

// Every demuxer that reads at least one of kAudioExtensions, with all its
// common file name endings, one line each, sorted: "flac (flac)",
// "aiff (aif, aiff, afc, aifc)". A demuxer that names no endings takes
// those of the muxer of its name ("wav (wav)"). Image, video and subtitle
// demuxers name none of those endings and are left out.
std::vector<std::string> readable_containers();

// Names of the audio decoders, sorted, each once.
std::vector<std::string> audio_decoders();

}  // namespace tolvek::audio
