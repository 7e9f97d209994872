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
#include <optional>
#include <span>
#include <string>

#include "common/status.h"

namespace tolvek::audio {

// The audio layer's error codes.
enum class Error {
    kErrorStart = 1,  // the libraries cannot be used
    kErrorFileOpen,   // the file cannot be read (missing, unreadable, a directory)
    kErrorFormat,     // no demuxer recognises the file
    kErrorNoAudio,    // the file holds no audio stream
    kErrorCodec,      // no decoder for the stream, or it failed to open
    kErrorDecode,     // decoding failed while reading
    kErrorMemory,     // an allocation failed
    kErrorHandle,     // no stream to act on
};
using enum Error;
inline const LayerErrors kAudioErrors{"audio"};
inline std::error_code make_error_code(Error e) { return {static_cast<int>(e), kAudioErrors}; }

// Stream type bits.
constexpr std::uint32_t kTypeStream = 0x10000;  // any decodable audio stream
constexpr std::uint32_t kTypeWav = 0x40000;     // RIFF/WAVE file

constexpr int kSpectrumBins = 1024;
constexpr int kWindowFrames = 2048;
// Windows of a stretch read whole start this many frames apart: every frame
// is then in two windows whose Hann weights add up to one.
constexpr int kHopFrames = kWindowFrames / 2;

// The weighting of a window's samples before its transform.
enum class Window { Hann, Hamming, BlackmanHarris, Kaiser, Rectangular };

// The transform behind each spectrum: `frames` samples (a power of two from
// kMinSpectrumFrames to kMaxSpectrumFrames) under `window`, giving frames / 2
// bins. Full coverage's windows start frames / 2 apart.
inline constexpr int kMinSpectrumFrames = 256;
inline constexpr int kMaxSpectrumFrames = 65536;
struct SpectrumShape {
    int frames = kWindowFrames;
    Window window = Window::Hann;
    int bins() const { return frames / 2; }
    int hop() const { return frames / 2; }
    friend bool operator==(const SpectrumShape&, const SpectrumShape&) = default;
};
constexpr bool valid_spectrum_shape(const SpectrumShape& s) {
    return s.frames >= kMinSpectrumFrames && s.frames <= kMaxSpectrumFrames && (s.frames & (s.frames - 1)) == 0;
}

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

// What the stream is coded as: the codec's short name ("mp3", "flac",
// "pcm_s16le") and its bit rate, 0 when neither stream nor container says.
struct CodecInfo {
    std::string name;
    std::uint32_t bitrate_kbps = 0;
};

// Channels [first, first + count) of a frame, averaged into one signal;
// channels past the frame's last are not there to average. A group with
// none of the frame's channels is silence.
struct ChannelGroup {
    std::uint32_t first = 0;
    std::uint32_t count = UINT32_MAX;  // all from `first` on
};

// Level sums of the decoded frames a read analysed, each channel on its own
// (never mixed down), on the 16-bit samples the windows are made of: what a
// meter of peak, clipping and loudness needs. Sums add up across reads.
struct Levels {
    std::int32_t peak = 0;         // largest |sample|, 32768 at most
    std::uint64_t clipped = 0;     // samples with |sample| >= kClippedSample
    double sum_squares = 0.0;      // of sample / 32768
    std::uint64_t samples = 0;     // frames × channels

    static constexpr std::int32_t kClippedSample = 32767;
    void add(const Levels& other);
};

// The first fault found in the audio a stream read, by where it lies.
struct Damage {
    enum class Kind {
        CorruptPacket,  // the demuxer or decoder rejected a packet
        CrcMismatch,    // a FLAC frame's CRC-16 does not check
        FramesMissing,  // frames numbered past a gap
        Truncated,      // the file ends before the length its header announces
        NoEndPage,      // an Ogg stream ends without its end-of-stream page
        PartialPage,    // an Ogg stream ends on a page cut short
    };
    Kind kind = Kind::CorruptPacket;
    std::uint64_t frame = 0;            // where it lies: the first frame affected
    std::uint64_t announced_frames = 0; // Truncated: the length the header announced
    bool operator==(const Damage&) const = default;
};

// The earlier of two findings.
std::optional<Damage> earlier(const std::optional<Damage>& a, const std::optional<Damage>& b);

// What the decoded samples say about the stream's bits, in the samples' own
// format before any conversion. Facts of several readers add up.
struct SampleBits {
    int stored = 0;          // bits per sample as stored; 0 where unknown
    bool floating = false;   // samples stored as floating point
    std::uint32_t used = 0;  // OR of every integer sample read, bit 0 the stored lowest bit
    bool read = false;       // some sample was read

    void add(const SampleBits& other) {
        used |= other.used;
        read = read || other.read;
    }
    // Bits from the highest stored one down to the lowest set in any sample
    // (a 24-bit stream whose low 8 bits are always zero uses 16); nothing
    // for floating point, an unknown width or no sample read.
    std::optional<int> effective() const;
};

// Receives every frame of the stream once, in order, as floats with full
// scale 1.0, interleaved; restart() says that frames come again from the
// first.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void frames(std::span<const float> interleaved) = 0;
    virtual void restart() = 0;
};

// The tags a listener knows the file by, as the container or stream names
// them (UTF-8); empty when absent.
struct Tags {
    std::string artist, album, title;
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
    // A second, independent reader of the same file (for reading another
    // stretch of it on another thread): the descriptor this one checked,
    // never the path again, with the same channel groups.
    std::unique_ptr<Stream> sibling(Status& status) const;
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Decoded length in bytes: exact where the file records it, the
    // demuxer's estimate elsewhere. Where the container records none, or
    // one its bytes cannot hold (a FLAC STREAMINFO total past its last
    // frame, a Matroska Duration of 10^15 ms, an Ogg granule of 2^62), or
    // the file is a chained Ogg one, it is what the file holds: a FLAC
    // file's last frame that checks, else what a full decode gives, found
    // once as the file is opened.
    std::uint64_t length_bytes() const;
    // True when the container claimed a length far beyond what the file
    // holds: the file is damaged, and is drawn at the length it has.
    bool claimed_length_wrong() const;
    // The first fault found so far: those the file's ends show as it is
    // opened (a truncated FLAC, WAV or Ogg file), then those met while
    // reading. A partial frame, junk or a tag after the last whole frame is
    // no fault.
    std::optional<Damage> damage() const;
    // Reads on to the stream's end, so that a stream shorter than its header
    // announces is found however little of it the windows read.
    void check_end();
    float bytes_to_seconds(std::uint64_t bytes) const;
    StreamInfo info() const;
    CodecInfo codec() const;
    // Samples stored as they are (PCM) or nearly (ADPCM): decoding them
    // costs next to nothing next to reading them.
    bool stores_plain_samples() const;
    std::uint64_t file_size() const;
    // The channel's name in the stream's layout ("FL", "FR", "LFE"), or
    // "Channel N" (counted from 1) where the layout names none.
    std::string channel_name(std::uint32_t index) const;

    // The signals spectra are made of, one spectrum per group, in order; by
    // default one group, the mean of all channels. Frames already read are
    // read again for the new groups (the stream goes back to its start).
    // Empty `groups` is refused (kErrorHandle).
    Status set_channel_groups(std::span<const ChannelGroup> groups);
    std::size_t channel_groups() const;

    // The transform of every later spectrum (by default 2048 frames, Hann):
    // spectra then hold shape.bins() values per group, and the frames,
    // window and hop of the reads below follow it. kErrorHandle for a shape
    // outside valid_spectrum_shape, kErrorMemory when no plan can be made.
    Status set_spectrum(SpectrumShape shape);
    int spectrum_bins() const;

    // A text tag of the container or the audio stream ("creation_time", a
    // Broadcast WAV's "origination_date"), any case; nothing when absent.
    std::optional<std::string> tag(const std::string& key) const;

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
    // read (kErrorHandle), `out` is left as it was. In WAV and AIFF files a
    // long way ahead is reached by a seek checked to land on the exact
    // frame, in MP3 and FLAC files by walking frame headers, not by reading
    // the packets between.
    //
    // With `levels`, the levels of the window's frames that the stream has,
    // up to (not including) byte position `levels_end_pos`, are added to it.
    Status read_spectrum(std::span<float, kSpectrumBins> out, Levels* levels = nullptr,
                         std::uint64_t levels_end_pos = UINT64_MAX);
    // read_spectrum for every channel group: group g's spectrum in
    // out[g × bins, (g + 1) × bins), bins being spectrum_bins() (1024
    // unless set_spectrum changed it). `out` holds bins × channel_groups().
    Status read_spectra(std::span<float> out, Levels* levels = nullptr, std::uint64_t levels_end_pos = UINT64_MAX);

    // Every frame of a stretch: for each group, the bin-wise maximum of the
    // spectra of the windows that start at byte position `begin_pos` and
    // every hop (half a window) after it while a window starts before `end_pos`
    // (always at least the first one; windows run on past `end_pos`). With
    // `end_pos` past the stream's last frame, windows go on to it. Leaves
    // the position at the last window's start, so stretches read one after
    // another decode the file once, in order. `out` as read_spectra's; the
    // first failure of any window is returned.
    //
    // With `levels`, the levels of the stretch's frames [begin_pos, end_pos)
    // the windows read are added to it, each frame once although two
    // windows read it: the first hop of each window (all of the
    // last one's), up to `end_pos`.
    Status read_max_spectra(std::uint64_t begin_pos, std::uint64_t end_pos, std::span<float> out,
                            Levels* levels = nullptr);

    // The bits of every sample decoded so far (sample_facts.cpp).
    SampleBits sample_bits() const;
    Tags tags() const;
    // From the next decode on, every frame goes once, in order, to `sink`
    // (may be null), and a FLAC stream's samples are checked against the
    // MD5 its STREAMINFO holds. Call before reading.
    void follow_whole(FrameSink* sink);
    // Once reading is done: where the reads did not decode every frame in
    // order (another reader took a stretch), decodes the whole stream once
    // more for the sink and the MD5. Then the stream's MD5 verdict: true
    // when it matches, false when not, nothing without an MD5 (or without
    // follow_whole). The stream is back at its start afterwards.
    std::optional<bool> finish_whole();

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

template <>
struct std::is_error_code_enum<tolvek::audio::Error> : std::true_type {};
