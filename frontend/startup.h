// The program's start-up: settings, palette, grid weights, the audio layer,
// the banner and summary, one walk, shut-down.
#pragma once

#include "audio/audio.h"
#include "common/status.h"

namespace tolvek::frontend {

// The audio layer as start-up uses it, so tests can stand in for it.
struct AudioBackend {
    Status (*start)();
    bool (*has_decoders)(audio::DecoderFamily family);
};

// The real audio layer.
AudioBackend default_audio_backend();

// Workers for the "jobs" setting on a machine of `cores` processor cores
// (0 when unknown, taken as one): 0 means one per core, anything below 1
// means one, and more than four per core are capped.
int worker_count(int jobs, int cores);

// Runs the program with its arguments. Returns the exit status: 0, 1 when
// the audio layer cannot start, 2 when at least one picture could not be
// written, 3 when an input could not be read.
int run_tolvek(int argc, char** argv, const AudioBackend& audio);

}  // namespace tolvek::frontend
