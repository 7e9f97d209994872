#include "audio/formats.h"

#include <algorithm>

#include "audio/libav.h"

namespace tolvek::audio {

namespace {

// FFmpeg lists endings as "aif,aiff,afc,aifc".
std::string spaced_list(const char* endings) {
    std::string out;
    for (const char* c = endings; *c; ++c) {
        out += *c;
        if (*c == ',') out += ' ';
    }
    return out;
}

}  // namespace

std::vector<std::string> readable_containers() {
    std::vector<std::string> out;
    void* it = nullptr;
    while (const AVInputFormat* f = av_demuxer_iterate(&it)) {
        std::string line = f->name;
        const char* endings = f->extensions;
        // Demuxers that know their files by content (wav, for one) name no
        // endings; the muxer of the same name does.
        if (!endings || !*endings)
            if (const AVOutputFormat* m = av_guess_format(f->name, nullptr, nullptr); m && m->extensions) endings = m->extensions;
        if (endings && *endings) line += " (" + spaced_list(endings) + ")";
        out.push_back(std::move(line));
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> audio_decoders() {
    std::vector<std::string> out;
    void* it = nullptr;
    while (const AVCodec* c = av_codec_iterate(&it))
        if (c->type == AVMEDIA_TYPE_AUDIO && av_codec_is_decoder(c)) out.emplace_back(c->name);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace tolvek::audio
