// The container's and the audio stream's text tags.
#include "audio/stream_impl.h"

extern "C" {
#include <libavutil/dict.h>
}

namespace tolvek::audio {

std::optional<std::string> Stream::tag(const std::string& key) const {
    const Source& s = impl_->source;
    if (!s.fmt) return std::nullopt;
    for (const AVDictionary* dict : {s.fmt->metadata, s.fmt->streams[s.index]->metadata})
        if (const AVDictionaryEntry* e = av_dict_get(dict, key.c_str(), nullptr, 0); e && e->value) return e->value;
    return std::nullopt;
}

}  // namespace tolvek::audio
