// The stages of one conversion timed apart, on the 180 s MP3 of the
// benchmark corpus: opening and measuring, the spectrum windows (seeking,
// decoding and the transform), the transform alone, levels and colours,
// and the PNG and JPEG saves; the PNG encoding alone in memory, with libpng
// at zlib level 1 (how pictures were written before) and with our writer at
// each libdeflate level from 1 to 6.
//
//   tolvek_stages [benchmark options] [AUDIO FILE]
//
// The file is the argument, else $TOLVEK_BENCH_FILE, else the corpus file
// in the build directory. Without it nothing runs (status 0).
#include <benchmark/benchmark.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "audio/spectrum.h"
#include "convert/painter.h"
#include "convert/plan.h"
#include "image/picture.h"
#include "image/png.h"
#include "palette/palette.h"

namespace {

using tolvek::audio::kSpectrumBins;
using tolvek::audio::kWindowFrames;
using tolvek::audio::Stream;

using Column = std::span<float, kSpectrumBins>;

std::string g_path;  // the audio file every stage works on

// A scratch directory for the saved pictures, removed at exit.
class ScratchDir {
public:
    ScratchDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tolvek-stages-XXXXXX";
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct Palette256 : tolvek::palette::Colours {
    Palette256() { tolvek::palette::load_palette_file("", *this); }  // no file: the built-in gradient
};

// What the later stages start from, computed once: the stream's
// measurements, its column plan, every column's spectrum and the painted
// picture.
struct Conversion {
    std::uint64_t length = 0;
    float seconds = 0.0f;
    tolvek::audio::StreamInfo info;
    tolvek::convert::ColumnPlan plan;
    std::vector<float> spectra;
    Palette256 palette;
    std::optional<tolvek::image::Picture> picture;

    Column column(int i) { return Column(&spectra[static_cast<std::size_t>(i) * kSpectrumBins], kSpectrumBins); }
};

tolvek::Status read_columns(Stream& stream, Conversion& c) {
    for (int i = 0; i < c.plan.count; ++i) {
        if (tolvek::Status s = stream.seek(static_cast<std::uint64_t>(i) * c.plan.step); !s) return s;
        // A damaged stretch still fills its column, as in a conversion.
        if (tolvek::Status s = stream.read_spectrum(c.column(i)); !s && s.code != tolvek::audio::kErrorDecode) return s;
    }
    return tolvek::Status::ok();
}

// Levels, palette colours and set_pixel for every cell, as the conversion
// paints, with or without the grid marks.
void paint_cells(const Conversion& c, tolvek::image::Picture& picture, bool grid) {
    tolvek::convert::Painter painter(picture, c.palette, grid, c.seconds * 500.0f / static_cast<float>(c.plan.count),
                                     static_cast<float>(c.info.rate) * 0.5f / 1024.0f);
    for (int i = 0; i < c.plan.count; ++i)
        painter.paint(i, std::span<const float, kSpectrumBins>(&c.spectra[static_cast<std::size_t>(i) * kSpectrumBins],
                                                               kSpectrumBins));
}
void paint(const Conversion& c, tolvek::image::Picture& picture) { paint_cells(c, picture, false); }
void paint_with_grid(const Conversion& c, tolvek::image::Picture& picture) { paint_cells(c, picture, true); }

// The conversion of g_path up to the painted picture, or nullptr (with a
// message) when the file cannot be read.
Conversion* conversion() {
    static std::unique_ptr<Conversion> made = [] {
        auto c = std::make_unique<Conversion>();
        tolvek::Status opened;
        auto stream = Stream::open(g_path, opened);
        if (!stream) {
            std::fprintf(stderr, "stages: cannot open %s: %s\n", g_path.c_str(), opened.message.c_str());
            return std::unique_ptr<Conversion>();
        }
        c->length = stream->length_bytes();
        c->seconds = stream->bytes_to_seconds(c->length);
        c->info = stream->info();
        c->plan = tolvek::convert::plan_columns(c->length, c->seconds);
        c->spectra.assign(static_cast<std::size_t>(c->plan.count) * kSpectrumBins, 0.0f);
        if (tolvek::Status read = read_columns(*stream, *c); !read) {
            std::fprintf(stderr, "stages: decoding %s failed: %s\n", g_path.c_str(), read.message.c_str());
            return std::unique_ptr<Conversion>();
        }
        c->picture.emplace(c->plan.count, kSpectrumBins);
        paint_with_grid(*c, *c->picture);
        return c;
    }();
    return made.get();
}

#define NEED_CONVERSION(state, c)                                      \
    Conversion* c = conversion();                                      \
    if (!c) {                                                          \
        (state).SkipWithError("the audio file cannot be converted");   \
        return;                                                        \
    }

void BM_Open(benchmark::State& state) {
    for (auto _ : state) {
        tolvek::Status opened;
        auto stream = Stream::open(g_path, opened);
        if (!stream) {
            state.SkipWithError("the audio file cannot be opened");
            return;
        }
        const std::uint64_t length = stream->length_bytes();
        benchmark::DoNotOptimize(stream->bytes_to_seconds(length));
        benchmark::DoNotOptimize(stream->info());
        benchmark::DoNotOptimize(stream->file_size());
    }
}

// Seek and read_spectrum for every column of the plan: demuxing, decoding
// what the windows need, mixing to mono and the transform.
void BM_Windows(benchmark::State& state) {
    NEED_CONVERSION(state, c);
    for (auto _ : state) {
        state.PauseTiming();
        tolvek::Status opened;
        auto stream = Stream::open(g_path, opened);
        state.ResumeTiming();
        if (!stream || !read_columns(*stream, *c)) {
            state.SkipWithError("decoding failed");
            return;
        }
        state.PauseTiming();
        stream.reset();
        state.ResumeTiming();
    }
    state.counters["columns"] = c->plan.count;
}

// The transform alone, on 1000 different windows of a music-like signal.
void BM_Fft(benchmark::State& state) {
    constexpr int kWindows = 1000;
    std::vector<float> input(static_cast<std::size_t>(kWindows) * kWindowFrames);
    std::uint32_t noise = 12345;
    for (std::size_t n = 0; n < input.size(); ++n) {
        noise = noise * 1664525u + 1013904223u;
        const double t = static_cast<double>(n) / 44100.0;
        input[n] = static_cast<float>(0.3 * std::sin(2 * M_PI * 220 * t) + 0.1 * std::sin(2 * M_PI * 3520 * t) +
                                      0.01 * (static_cast<double>(noise >> 8) / 8388608.0 - 1.0));
    }
    std::vector<float> output(static_cast<std::size_t>(kWindows) * kSpectrumBins);
    tolvek::audio::SpectrumAnalyzer analyzer;
    if (!analyzer.ok()) {
        state.SkipWithError("no transform plan");
        return;
    }
    for (auto _ : state) {
        for (int w = 0; w < kWindows; ++w) {
            analyzer.analyze(std::span<const float, kWindowFrames>(&input[static_cast<std::size_t>(w) * kWindowFrames],
                                                                   kWindowFrames),
                             Column(&output[static_cast<std::size_t>(w) * kSpectrumBins], kSpectrumBins));
        }
        benchmark::ClobberMemory();
    }
    state.counters["windows"] = kWindows;
}

// Levels, the palette lookup and set_pixel for every cell of the picture,
// without and with the grid marks.
void levels_stage(benchmark::State& state, void (*painter)(const Conversion&, tolvek::image::Picture&)) {
    NEED_CONVERSION(state, c);
    tolvek::image::Picture picture(c->plan.count, kSpectrumBins);
    for (auto _ : state) {
        painter(*c, picture);
        benchmark::ClobberMemory();
    }
    state.counters["cells"] = static_cast<double>(c->plan.count) * kSpectrumBins;
}

void BM_LevelsColours(benchmark::State& state) { levels_stage(state, paint); }
void BM_LevelsColoursGrid(benchmark::State& state) { levels_stage(state, paint_with_grid); }

// Encoding and writing the painted picture (with its grid, or `picture`),
// the file renamed into place as the conversion does.
void save_stage(benchmark::State& state, tolvek::image::FileType type, const char* name,
                const tolvek::image::Picture* picture = nullptr) {
    NEED_CONVERSION(state, c);
    if (!picture) picture = &*c->picture;
    static ScratchDir scratch;
    if (scratch.path().empty()) {
        state.SkipWithError("no scratch directory");
        return;
    }
    const std::string target = scratch.path() + "/" + name;
    for (auto _ : state) {
        if (const tolvek::Status saved = picture->save(target, type); !saved) {
            state.SkipWithError(("save failed: " + saved.message).c_str());
            return;
        }
    }
    struct stat st {};
    if (stat(target.c_str(), &st) == 0) state.counters["file_bytes"] = static_cast<double>(st.st_size);
}

void BM_PngSave(benchmark::State& state) { save_stage(state, tolvek::image::FileType::Png, "stage.png"); }
void BM_JpegSave(benchmark::State& state) { save_stage(state, tolvek::image::FileType::Jpeg, "stage.jpg"); }
// Without the grid's blended marks the picture holds at most the palette's
// 256 colours, and is saved as palette indices.
void BM_PngSaveNoGrid(benchmark::State& state) {
    NEED_CONVERSION(state, c);
    tolvek::image::Picture picture(c->plan.count, kSpectrumBins);
    paint_cells(*c, picture, false);
    save_stage(state, tolvek::image::FileType::Png, "stage-no-grid.png", &picture);
}

// The former writer: libpng, no row filter, zlib level 1, into memory.
void append_bytes(png_structp png, png_bytep data, png_size_t size) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + size);
}
void flush_nothing(png_structp) {}

bool libpng_encode(const tolvek::image::Picture& picture, std::vector<std::uint8_t>& out) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return false;
    }
    png_set_write_fn(png, &out, append_bytes, flush_nothing);
    png_set_IHDR(png, info, picture.width(), picture.height(), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    for (int y = 0; y < picture.height(); ++y) png_write_row(png, const_cast<png_bytep>(picture.row(y)));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

void BM_PngEncodeLibpng(benchmark::State& state) {
    NEED_CONVERSION(state, c);
    std::vector<std::uint8_t> out;
    for (auto _ : state) {
        out.clear();
        if (!libpng_encode(*c->picture, out)) return state.SkipWithError("libpng failed");
    }
    state.counters["file_bytes"] = static_cast<double>(out.size());
}

void BM_PngEncodeDeflate(benchmark::State& state) {
    NEED_CONVERSION(state, c);
    char* bytes = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&bytes, &size);
    for (auto _ : state) {
        std::rewind(out);
        if (!tolvek::image::write_png(*c->picture, {}, out, static_cast<int>(state.range(0))))
            return state.SkipWithError("write_png failed");
        std::fflush(out);
    }
    state.counters["file_bytes"] = static_cast<double>(std::ftell(out));
    std::fclose(out);
    std::free(bytes);
}

}  // namespace

BENCHMARK(BM_Open)->Name("open")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Windows)->Name("windows")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Fft)->Name("fft_1000_windows")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LevelsColours)->Name("levels_colours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LevelsColoursGrid)->Name("levels_colours_grid")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PngSave)->Name("png_save")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PngSaveNoGrid)->Name("png_save_no_grid")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PngEncodeLibpng)->Name("png_encode_libpng_zlib1")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PngEncodeDeflate)->Name("png_encode_libdeflate")->DenseRange(1, 6)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_JpegSave)->Name("jpeg_save")->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 2) {
        benchmark::ReportUnrecognizedArguments(argc, argv);
        return 2;
    }
    const char* from_env = std::getenv("TOLVEK_BENCH_FILE");
    g_path = argc == 2 ? argv[1] : from_env && *from_env ? from_env : TOLVEK_BENCH_DEFAULT_FILE;
    if (access(g_path.c_str(), R_OK) != 0) {
        std::printf("stages: %s is missing; make it with bench/make-corpus.sh. Skipping the stage benchmarks.\n",
                    g_path.c_str());
        return 0;
    }
    std::printf("stages: %s\n", g_path.c_str());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
