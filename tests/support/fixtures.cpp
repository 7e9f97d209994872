#include "support/fixtures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <jpeglib.h>
#include <png.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tolvek::test {

TempDir::TempDir() {
    std::string templ = (fs::temp_directory_path() / "tolvek-test-XXXXXX").string();
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

static std::int16_t to_s16(double v) {
    double s = std::lround(v * 32767.0);
    if (s > 32767) s = 32767;
    if (s < -32768) s = -32768;
    return static_cast<std::int16_t>(s);
}

Samples sine(int rate, int channels, double seconds, double hz, double amplitude) {
    const auto frames = static_cast<std::size_t>(std::llround(seconds * rate));
    Samples out(frames * channels);
    for (std::size_t n = 0; n < frames; ++n) {
        const std::int16_t v = to_s16(amplitude * std::sin(2 * M_PI * hz * n / rate));
        for (int c = 0; c < channels; ++c) out[n * channels + c] = v;
    }
    return out;
}

Samples silence(int rate, int channels, double seconds) {
    return Samples(static_cast<std::size_t>(std::llround(seconds * rate)) * channels, 0);
}

Samples music(int rate, int channels, double seconds, std::uint32_t seed) {
    const auto frames = static_cast<std::size_t>(std::llround(seconds * rate));
    Samples out(frames * channels);
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    const double chord[] = {220.0, 277.18, 329.63};
    for (std::size_t n = 0; n < frames; ++n) {
        const double t = static_cast<double>(n) / rate;
        double v = 0;
        for (double f : chord) v += 0.12 * std::sin(2 * M_PI * f * t);
        // A sweep from 500 Hz to 8 kHz every 4 seconds.
        const double tp = std::fmod(t, 4.0);
        v += 0.15 * std::sin(2 * M_PI * (500 * tp + (7500.0 / 8.0) * tp * tp));
        // Beats of noise, twice a second.
        if (std::fmod(t, 0.5) < 0.05) v += 0.2 * noise(gen);
        for (int c = 0; c < channels; ++c) out[n * channels + c] = to_s16(c % 2 ? v * 0.8 : v);
    }
    return out;
}

static void put_le(std::string& s, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void write_wav(const std::string& path, int rate, int channels, std::span<const std::int16_t> samples) {
    const std::uint32_t data_bytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::string h = "RIFF";
    put_le(h, 36 + data_bytes, 4);
    h += "WAVEfmt ";
    put_le(h, 16, 4);
    put_le(h, 1, 2);  // PCM
    put_le(h, channels, 2);
    put_le(h, rate, 4);
    put_le(h, rate * channels * 2, 4);
    put_le(h, channels * 2, 2);
    put_le(h, 16, 2);
    h += "data";
    put_le(h, data_bytes, 4);
    std::ofstream f(path, std::ios::binary);
    f.write(h.data(), static_cast<std::streamsize>(h.size()));
    for (std::int16_t s : samples) {
        const char b[2] = {static_cast<char>(s & 0xff), static_cast<char>((s >> 8) & 0xff)};
        f.write(b, 2);
    }
    if (!f) throw std::runtime_error("cannot write " + path);
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f << bytes;
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

bool ffmpeg_convert(const std::string& in, const std::string& out, const std::string& args) {
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
                                     "-i", in};
    std::istringstream words(args);
    for (std::string w; words >> w;) argv.push_back(w);
    argv.push_back(out);
    return run(argv, ".").status == 0;
}

std::string with_matroska_duration(std::string mka, double ms) {
    const std::size_t at = mka.find("\x44\x89\x88");
    if (at == std::string::npos) return mka;
    const auto bits = std::bit_cast<std::uint64_t>(ms);
    for (int k = 0; k < 8; ++k) mka[at + 3 + k] = static_cast<char>(bits >> (8 * (7 - k)));
    return mka;
}

std::string with_last_ogg_granule(std::string ogg, std::uint64_t granule) {
    constexpr std::size_t kGranuleAt = 6, kChecksumAt = 22;
    const std::size_t page = ogg.rfind("OggS");
    if (page == std::string::npos) return ogg;
    for (std::size_t k = 0; k < 8; ++k) ogg[page + kGranuleAt + k] = static_cast<char>(granule >> (8 * k));
    for (std::size_t k = 0; k < 4; ++k) ogg[page + kChecksumAt + k] = 0;
    // The page's CRC-32: polynomial 0x04c11db7, most significant bit first,
    // over the page with its checksum field zero.
    std::uint32_t crc = 0;
    for (std::size_t i = page; i < ogg.size(); ++i) {
        crc ^= static_cast<std::uint32_t>(static_cast<unsigned char>(ogg[i])) << 24;
        for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04c11db7u : crc << 1;
    }
    for (std::size_t k = 0; k < 4; ++k) ogg[page + kChecksumAt + k] = static_cast<char>(crc >> (8 * k));
    return ogg;
}

std::string tracker_module() {
    std::string m(20, '\0');
    m.replace(0, 4, "test");
    // Sample 1: 64 words of a square wave at full volume; the other 30 empty.
    std::string sample(22, '\0');
    sample.push_back(0);
    sample.push_back(64);  // length in words, big-endian
    sample.push_back(0);   // finetune
    sample.push_back(64);  // volume
    sample += std::string("\0\0\0\1", 4);  // repeat start 0, repeat length 1 word
    m += sample;
    for (int i = 1; i < 31; ++i) m += std::string(22, '\0') + std::string("\0\0\0\0\0\0\0\1", 8);
    m.push_back(1);    // song length
    m.push_back(127);  // restart
    m += std::string(128, '\0');  // order table: pattern 0
    m += "M.K.";
    std::string pattern(64 * 4 * 4, '\0');
    // Row 0, channel 0: sample 1, period 428 (C-3).
    pattern[0] = static_cast<char>(0x01);
    pattern[1] = static_cast<char>(0xAC);
    pattern[2] = static_cast<char>(0x10);
    m += pattern;
    for (int i = 0; i < 128; ++i) m.push_back(static_cast<char>(i % 16 < 8 ? 100 : -100));
    return m;
}


namespace {

// Reads every descriptor to its end, none left to fill up, and closes them.
// A pseudo-terminal's side ends with an error once the program is gone.
void read_all(std::vector<pollfd> fds, const std::vector<std::string*>& dest) {
    for (std::size_t open_fds = fds.size(); open_fds > 0;) {
        if (poll(fds.data(), fds.size(), -1) < 0) break;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                dest[i]->append(buf, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
}

// Runs `argv` (no shell) in `cwd`, its standard output and error in pipes,
// or those `terminal` says on a new pseudo-terminal.
RunResult spawn(const std::vector<std::string>& argv, const std::string& cwd, const Terminal* terminal) {
    RunResult r;
    int out[2], err[2], master = -1;
    if (pipe(out) != 0 || pipe(err) != 0) return r;
    const winsize size{.ws_row = 24, .ws_col = terminal ? terminal->columns : std::uint16_t{0}, .ws_xpixel = 0, .ws_ypixel = 0};
    const pid_t pid = terminal ? forkpty(&master, nullptr, nullptr, &size) : fork();
    if (pid == 0) {
        if (!terminal || !terminal->out) dup2(out[1], 1);
        if (!terminal || !terminal->err) dup2(err[1], 2);
        for (const int fd : {out[0], out[1], err[0], err[1]}) close(fd);
        const int devnull = terminal ? -1 : open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    std::vector<pollfd> fds = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::vector<std::string*> dest = {&r.out, &r.err};
    if (master >= 0) {
        fds.push_back({master, POLLIN, 0});
        dest.push_back(&r.terminal);
    }
    read_all(std::move(fds), dest);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.peak_kib = usage.ru_maxrss;
    return r;
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const std::string& cwd) { return spawn(argv, cwd, nullptr); }

RunResult run_on_terminal(const std::vector<std::string>& argv, const std::string& cwd, const Terminal& terminal) {
    return spawn(argv, cwd, &terminal);
}

std::string with_flac_total(std::string flac, std::uint64_t total) {
    // STREAMINFO follows "fLaC" and its block header; the total is the low
    // 4 bits of its byte 13 and the 4 bytes after.
    const std::size_t at = flac.find("fLaC") + 8 + 13;
    flac.at(at) = static_cast<char>((static_cast<std::uint8_t>(flac.at(at)) & 0xf0) | ((total >> 32) & 0x0f));
    for (int k = 0; k < 4; ++k) flac.at(at + 1 + k) = static_cast<char>((total >> (24 - 8 * k)) & 0xff);
    return flac;
}

std::string program_path() { return TOLVEK_PROGRAM; }

bool read_png(const std::string& path, Image& out) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return false;
    img.format = PNG_FORMAT_RGB;
    out.width = static_cast<int>(img.width);
    out.height = static_cast<int>(img.height);
    out.rgb.resize(PNG_IMAGE_SIZE(img));
    const bool ok = png_image_finish_read(&img, nullptr, out.rgb.data(), 0, nullptr) != 0;
    png_image_free(&img);
    return ok;
}

bool read_jpeg(const std::string& path, Image& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    out.width = static_cast<int>(cinfo.output_width);
    out.height = static_cast<int>(cinfo.output_height);
    out.rgb.resize(static_cast<std::size_t>(out.width) * out.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &out.rgb[static_cast<std::size_t>(cinfo.output_scanline) * out.width * 3];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
    return true;
}

TestPalette TestPalette::grey() {
    TestPalette p;
    for (int i = 0; i < 256; ++i) p.red[i] = p.green[i] = p.blue[i] = static_cast<unsigned char>(i);
    return p;
}

std::string& captured_log() {
    static std::string log;
    return log;
}

void capture_log(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    char* text = nullptr;
    const int n = vasprintf(&text, format, ap);
    va_end(ap);
    if (n >= 0) {
        captured_log().append(text, static_cast<std::size_t>(n));
        std::free(text);
    }
}

bool only_summary(const std::string& err) {
    return err.starts_with("tolvek: ") && err.find(" written, ") != std::string::npos && err.ends_with(" s\n") &&
           err.find('\n') == err.size() - 1;
}

void Workspace::ini(const std::string& body) const { write_file(path("Tolvek_Pre.ini"), "[general]\n" + body); }
void Workspace::folders(const std::string& rel) const { fs::create_directories(path(rel)); }
void Workspace::file(const std::string& rel, const std::string& bytes) const { write_file(path(rel), bytes); }
void Workspace::symlink(const std::string& target, const std::string& rel) const {
    fs::create_symlink(target, path(rel));
}
void Workspace::tone(const std::string& rel, int rate, int channels, double seconds, double hz) const {
    write_wav(path(rel), rate, channels, sine(rate, channels, seconds, hz));
}
void Workspace::settle_times() const {
    const timespec times[2] = {{1767225600, 0}, {1767225600, 0}};  // 2026-01-01
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(path()))
        if (e.is_regular_file()) utimensat(AT_FDCWD, e.path().c_str(), times, 0);
}

RunResult Workspace::tolvek(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"timeout", "60", program_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, path());
}

RunResult Workspace::tolvek_on_terminal(const std::vector<std::string>& args, const Terminal& terminal) const {
    std::vector<std::string> argv = {"timeout", "60", program_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_on_terminal(argv, path(), terminal);
}

}  // namespace tolvek::test
