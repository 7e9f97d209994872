// FFmpeg objects owned the RAII way, shared by the audio layer's parts. Only
// files of audio/ include this: FFmpeg types never leave the layer.
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
}

namespace tolvek::audio {

// FFmpeg's words for one of its error codes.
inline std::string av_text(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

struct FormatCloser {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
// A context made by avio_alloc_context: its buffer is ours to free too (it
// may have been replaced by a larger one since).
struct IoFree {
    void operator()(AVIOContext* io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;
using IoPtr = std::unique_ptr<AVIOContext, IoFree>;

// Owns an AVChannelLayout. Zero-initialised first: av_channel_layout_copy()
// frees its destination before copying into it.
struct Layout {
    AVChannelLayout l{};
    Layout() = default;
    Layout(const Layout&) = delete;
    Layout& operator=(const Layout&) = delete;
    ~Layout() { av_channel_layout_uninit(&l); }
    void set(const AVChannelLayout& from) {
        av_channel_layout_uninit(&l);
        av_channel_layout_copy(&l, &from);
    }
    // As set(), but a layout without a channel order becomes the default
    // order for its count, which the converter accepts.
    void set_convertible(const AVChannelLayout& from) {
        av_channel_layout_uninit(&l);
        if (from.order == AV_CHANNEL_ORDER_UNSPEC || av_channel_layout_check(&from) == 0)
            av_channel_layout_default(&l, from.nb_channels);
        else
            av_channel_layout_copy(&l, &from);
    }
};

}  // namespace tolvek::audio
