// Demuxer and decoder set-up over a descriptor we opened ourselves: the one
// stream that is converted, its decoder, its format and length.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "audio/audio.h"
#include "audio/file_view.h"
#include "audio/libav.h"
#include "common/status.h"

namespace tolvek::audio {

// FFmpeg reads the source through this, never by its name: every read is a
// pread() at the reader's own position, so any number of demuxers over the
// same descriptor (the first one, and each reopen for a backward seek) see
// the very file that was checked when it was opened.
struct DescriptorReader {
    int fd = -1;
    const FileView* view = nullptr;  // the bytes shown, as the file was when opened
    std::int64_t position = 0;       // in the view
    int error = 0;              // errno of the first refused read, 0 if none
    bool nested_refused = false;  // a demuxer asked to open another file
};

// One demuxer and decoder over the source. Members are destroyed in reverse
// order: decoder, demuxer, then the I/O context the demuxer was reading.
struct Source {
    std::unique_ptr<DescriptorReader> reader;
    IoPtr io;
    FormatPtr fmt;
    CodecPtr dec;
    int index = -1;            // of the stream converted; every other one is discarded
    StreamInfo info;
    CodecInfo codec;
    std::uint64_t frames = 0;  // measured length in frames

    // Gives everything back, each part before what it reads from.
    void close() {
        dec.reset();
        fmt.reset();
        io.reset();
        reader.reset();
        index = -1;
    }
};

// Opens the source on `fd` (a regular file, read from its start), showing
// the demuxer `view` of it, which must outlive the source; `name` only hints
// at the format by its ending. Codes as Stream::open reports them.
Status open_source(int fd, const FileView& view, const std::string& name, Source& out);

// Reads of the file on `fd` at any offset, by pread().
ReadAt read_at_descriptor(int fd);

// What of the file on `fd` (of `size` bytes) the demuxer is shown.
FileView view_for(int fd, std::uint64_t size);

// Reads of `view` of the file on `fd` by position in the view, as the
// demuxer sees it; one piece of the view at a time. `view` must outlive it.
ReadAt view_reader(int fd, const FileView& view);

// A failed read of the source, as our status; ok when every read went well.
Status read_status(const DescriptorReader& reader);

}  // namespace tolvek::audio
