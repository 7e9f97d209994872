#include "audio/formats.h"

#include <algorithm>
#include <cctype>
#include <span>

#include "audio/libav.h"

namespace tolvek::audio {

namespace {

// FFmpeg lists endings as "aif,aiff,afc,aifc".
std::vector<std::string_view> split_endings(std::string_view endings) {
    std::vector<std::string_view> out;
    while (!endings.empty()) {
        const std::size_t comma = endings.find(',');
        out.push_back(endings.substr(0, comma));
        endings = comma == std::string_view::npos ? std::string_view{} : endings.substr(comma + 1);
    }
    return out;
}

std::string spaced_list(std::span<const std::string_view> endings) {
    std::string out;
    for (std::string_view e : endings) out += (out.empty() ? "" : ", ") + std::string(e);
    return out;
}

}  // namespace

bool is_audio_extension(std::string_view ending) {
    const auto same = [&](std::string_view known) {
        return std::equal(known.begin(), known.end(), ending.begin(), ending.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        });
    };
    return std::any_of(kAudioExtensions.begin(), kAudioExtensions.end(), same);
}

std::vector<std::string> readable_containers() {
    std::vector<std::string> out;
    void* it = nullptr;
    while (const AVInputFormat* f = av_demuxer_iterate(&it)) {
        const char* endings = f->extensions;
        // Demuxers that know their files by content (wav, for one) name no
        // endings; the muxer of the same name does.
        if (!endings || !*endings)
            if (const AVOutputFormat* m = av_guess_format(f->name, nullptr, nullptr); m && m->extensions) endings = m->extensions;
        const std::vector<std::string_view> list = split_endings(endings ? endings : "");
        if (std::any_of(list.begin(), list.end(), is_audio_extension))
            out.push_back(std::string(f->name) + " (" + spaced_list(list) + ")");
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
