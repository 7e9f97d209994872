// The exported C entry points: thin wrappers over the C++ conversion.
#include <algorithm>
#include <optional>
#include <string>

#include "audio/audio.h"
#include "convert/convert.h"
#include "palette/palette.h"
#include "tolvek/tolvek.h"

namespace {

// Hands every line, error lines included, to the caller's printf-style
// callback as it is: a library does not write to the caller's standard
// error, and without a callback it prints nothing.
class CallbackLog : public tolvek::convert::Log {
public:
    explicit CallbackLog(LogFn fn) : fn_(fn) {}
    void line(std::string_view text) override {
        if (fn_) fn_("%s", std::string(text).c_str());
    }
    void error(std::string_view text) override { line(text); }

private:
    LogFn fn_;
};

int audio_status(tolvek::audio::Error error) {
    using tolvek::audio::Error;
    switch (error) {
        case Error::kErrorStart: return TOLVEK_STATUS_CANNOT_START;
        case Error::kErrorFileOpen: return TOLVEK_STATUS_CANNOT_READ;
        case Error::kErrorFormat: return TOLVEK_STATUS_UNKNOWN_FORMAT;
        case Error::kErrorNoAudio: return TOLVEK_STATUS_NO_AUDIO;
        case Error::kErrorCodec: return TOLVEK_STATUS_NO_DECODER;
        case Error::kErrorDecode: return TOLVEK_STATUS_DECODE_FAILED;
        case Error::kErrorMemory: return TOLVEK_STATUS_OUT_OF_MEMORY;
        case Error::kErrorHandle: return TOLVEK_STATUS_BAD_ARGUMENT;
    }
    return TOLVEK_STATUS_CANNOT_READ;
}

// The C status of a conversion: its outcome, and for a file the audio layer
// could not open or read, that layer's error.
int c_status(const tolvek::convert::Result& result) {
    using tolvek::convert::Outcome;
    if (result.outcome == Outcome::Written || result.outcome == Outcome::Damaged) return TOLVEK_STATUS_OK;
    if (result.outcome == Outcome::SaveError) return TOLVEK_STATUS_SAVE_ERROR;
    if (result.error.category() == tolvek::audio::kAudioErrors)
        return audio_status(static_cast<tolvek::audio::Error>(result.error.value()));
    return result.outcome == Outcome::Unsupported ? TOLVEK_STATUS_UNSUPPORTED : TOLVEK_STATUS_CANNOT_READ;
}

}  // namespace

extern "C" int _process_file(const char* path, OutputFormat format, int quality, int grid, int local, int verbose,
                             Palette palette, LogFn log, const char* outpath) {
    if (path == nullptr || palette == nullptr || !palette[0] || !palette[1] || !palette[2])
        return TOLVEK_STATUS_BAD_ARGUMENT;
    tolvek::convert::Options options;
    options.format = format == TOLVEK_FORMAT_JPEG ? tolvek::image::FileType::Jpeg : tolvek::image::FileType::Png;
    options.quality = std::clamp(quality, 10, 100);
    options.grid = grid != 0;
    options.local = local != 0;
    options.verbose = verbose;
    tolvek::palette::Colours colours;
    std::copy_n(palette[0], 256, colours.red.begin());
    std::copy_n(palette[1], 256, colours.green.begin());
    std::copy_n(palette[2], 256, colours.blue.begin());
    options.palette = &colours;
    CallbackLog callback(log);
    const std::optional<std::string> shown = outpath ? std::optional<std::string>(outpath) : std::nullopt;
    const tolvek::convert::Result result = tolvek::convert::convert_file(path, shown, options, callback);
    if (result.outcome == tolvek::convert::Outcome::SaveError && verbose > 0)
        callback.error(callback.shown(result.picture) + ": " + result.reason + "\n");
    // A picture was written; the fault in its audio is said all the same.
    if (result.outcome == tolvek::convert::Outcome::Damaged && result.damage)
        callback.error(callback.shown(path) + ": " + tolvek::convert::damage_text(*result.damage) + "\n");
    return c_status(result);
}

extern "C" void load_palette(const char* path, Palette palette) {
    if (!palette || !palette[0] || !palette[1] || !palette[2]) return;
    tolvek::palette::Colours colours;
    tolvek::palette::load_palette_file(path, colours);
    std::copy(colours.red.begin(), colours.red.end(), palette[0]);
    std::copy(colours.green.begin(), colours.green.end(), palette[1]);
    std::copy(colours.blue.begin(), colours.blue.end(), palette[2]);
}
