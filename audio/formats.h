// What the FFmpeg libraries in use can read, for the command line's
// --formats listing.
#pragma once

#include <string>
#include <vector>

namespace tolvek::audio {

// Every demuxer with its common file name endings, one line each, sorted:
// "flac (flac)", "aiff (aif, aiff, afc, aifc)". A demuxer that names no
// endings takes those of the muxer of its name ("wav (wav)"), or is listed
// by its name alone.
std::vector<std::string> readable_containers();

// Names of the audio decoders, sorted, each once.
std::vector<std::string> audio_decoders();

}  // namespace tolvek::audio
