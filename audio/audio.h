// Decoding and spectra, our small interface over FFmpeg.
//
// Decoded audio is presented as 16-bit interleaved PCM at the file's own rate
// and channel count, so lengths and positions are in bytes of that stream:
// length = frames × channels × 2, and byte position p means frame
// p / (channels × 2), rounded down. Frame n is the n-th frame of a full
// decode of the file (after the decoder's own start and end trimming).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "common/status.h"

namespace tolvek::audio {

// Our error codes. Never 0, and never the conversion's 10001/10002.
enum Error : int {
    kErrorStart = 1,        // the libraries cannot be used
    kErrorFileOpen = 2,     // the file cannot be read (missing, unreadable, a directory)
    kErrorFormat = 3,       // no demuxer recognises the file
    kErrorNoAudio = 4,      // the file holds no audio stream
    kErrorCodec = 5,        // no decoder for the stream, or it failed to open
    kErrorDecode = 6,       // decoding failed while reading
    kErrorMemory = 7,       // an allocation failed
    kErrorPlugin = 8,       // no longer reported (plug-ins became has_decoders); the value stays taken
    kErrorHandle = 9,       // no stream to act on
};

// Stream type bits.
constexpr std::uint32_t kTypeStream = 0x10000;  // any decodable audio stream
constexpr std::uint32_t kTypeWav = 0x40000;     // RIFF/WAVE file

constexpr int kSpectrumBins = 1024;
constexpr int kWindowFrames = 2048;

// Checks that the FFmpeg libraries found at run time have the major versions
// the program was built against, and makes the process-wide settings
// include/tolvek/tolvek.h lists (once; later calls only check). Opening a
// stream starts the layer by itself, so library callers need no set-up call.
Status start();

// Decoder families whose presence the banner reports.
enum class DecoderFamily { Wma, Ape, Flac };

// True when every decoder of the family (WMA: v1, v2 and Pro) is present in
// the libraries in use. Formats are never gated by it.
bool has_decoders(DecoderFamily family);

struct StreamInfo {
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::uint32_t type = 0;
};

class Stream {
public:
    // Opens `path` for decoding without decoding it whole: the path is
    // opened once, as a regular file, and every later read (a reopen for a
    // backward seek included) goes through that descriptor. nullptr on
    // failure, with `status` set: kErrorFileOpen with the system's reason
    // (a FIFO, device or directory included), kErrorFormat, kErrorNoAudio,
    // kErrorCodec or kErrorMemory.
    static std::unique_ptr<Stream> open(const std::string& path, Status& status);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Decoded length in bytes: exact where the file records it, the
    // demuxer's estimate elsewhere.
    std::uint64_t length_bytes() const;
    float bytes_to_seconds(std::uint64_t bytes) const;
    StreamInfo info() const;
    std::uint64_t file_size() const;

    // Moves to byte position `pos` (rounded down to a frame). A move back
    // reopens the demuxer; its failure is returned, and every later read
    // then fails with kErrorHandle.
    Status seek(std::uint64_t pos);

    // The spectrum of the 2048 frames from the current position (zeros past
    // the end): frames mixed to mono as the mean of their channels, periodic
    // Hann window, magnitude[k] = |X_k| × 2 / 2048. A stretch the decoder
    // refuses is left out, as a player would, and `out` is still filled;
    // the window's status then says so (kErrorDecode with FFmpeg's words, or
    // kErrorFileOpen when the file could not be read). With no stream to
    // read (kErrorHandle), `out` is left as it was.
    Status read_spectrum(std::span<float, kSpectrumBins> out);

    // Packets read from the file and packets handed to the decoder so far:
    // how much decoding the windows cost.
    std::uint64_t packets_read() const;
    std::uint64_t packets_decoded() const;

    struct Impl;

private:
    explicit Stream(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace tolvek::audio
