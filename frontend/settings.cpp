#include "frontend/settings.h"

#include <sched.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "common/file.h"
#include "convert/levels.h"
#include "convert/clock.h"
#include "convert/shape.h"
#include "report/format.h"

namespace tolvek::frontend {
namespace {

constexpr std::string_view kSection = "general";
constexpr std::array<std::string_view, 3> kOutputChoices{"png", "jpg", "jpeg"};
constexpr std::array<std::string_view, 2> kScaleChoices{"linear", "log"};
constexpr std::array<std::string_view, 2> kCoverageChoices{"sampled", "full"};
constexpr std::array<std::string_view, 2> kChannelsChoices{"mix", "split"};
constexpr std::array<std::string_view, 2> kDataChoices{"off", "npz"};
constexpr std::array<std::string_view, 5> kWindowChoices{"hann", "hamming", "blackman-harris", "kaiser", "rectangular"};

bool valid_range(std::string_view text) { return convert::parse_range(text).has_value(); }
bool valid_report_name(std::string_view text) { return report::format_for(text).has_value(); }
bool valid_width(std::string_view text) { return convert::parse_width(text).has_value(); }
bool valid_fft(std::string_view text) { return convert::parse_fft(text).has_value(); }
bool valid_time(std::string_view text) { return convert::parse_time_span(text).has_value(); }
bool valid_start_time(std::string_view text) { return convert::parse_iso_time(text).has_value(); }
bool valid_freq(std::string_view text) { return convert::parse_frequency_span(text).has_value(); }

// The table; the start-up code, the command line and --help all read it.
const std::array<SettingDef, 28> kSettings{{
    {.key = "quality", .kind = SettingKind::kNumber, .number = &Settings::quality, .min = 10, .max = 100,
     .clamp_in_file = true, .value_name = "N", .help = "JPEG quality, 10..100"},
    {.key = "recursive", .kind = SettingKind::kFlag, .number = &Settings::recursive,
     .help = "create the mirrored folders under the output directory"},
    {.key = "grid", .kind = SettingKind::kFlag, .number = &Settings::grid,
     .help = "mark every 10 s, 60 s, 1 kHz and 5 kHz"},
    {.key = "local", .kind = SettingKind::kFlag, .number = &Settings::local,
     .help = "save pictures in the mirrored tree, not beside the sources"},
    {.key = "verbose", .kind = SettingKind::kNumber, .number = &Settings::verbose, .min = 0, .max = 2,
     .clamp_in_file = true, .short_option = 'v', .short_counts = true, .value_name = "N",
     .help = "1: report skipped files and patterns that match nothing,\n2: also unreadable stretches of audio"},
    {.key = "output", .kind = SettingKind::kText, .text = &Settings::output, .max_chars = 4,
     .choices = kOutputChoices, .option = "format", .short_option = 'f', .value_name = "png|jpg|jpeg",
     .help = "png, or jpg/jpeg for JPEG pictures"},
    {.key = "outdir", .kind = SettingKind::kText, .text = &Settings::outdir, .option = "output-dir",
     .short_option = 'o', .value_name = "DIR",
     .help = "root of the mirrored tree (with local=1); -o: pictures in a\ntree under DIR, folders made as needed (turns on --local\nand --recursive)"},
    {.key = "palette", .kind = SettingKind::kText, .text = &Settings::palette, .short_option = 'p',
     .value_name = "FILE", .help = "palette file"},
    {.key = "jobs", .kind = SettingKind::kNumber, .number = &Settings::jobs, .min = 0, .max = INT_MAX,
     .capped_by_cores = true, .short_option = 'j', .value_name = "N",
     .help = "files converted at once; 0: one per processor core this\nprocess may use"},
    {.key = "range", .kind = SettingKind::kText, .text = &Settings::range, .valid = valid_range,
     .rule = "classic|LOW:HIGH with -300 <= LOW, HIGH <= 50 and HIGH - LOW >= 1", .value_name = "classic|LOW:HIGH",
     .help = "levels: classic, or linear in dB from LOW to HIGH dBFS\n(e.g. -120:0; 0 dBFS is a full-scale sine)"},
    {.key = "scale", .kind = SettingKind::kText, .text = &Settings::scale, .choices = kScaleChoices,
     .value_name = "linear|log", .help = "frequency rows: linear, or log from rate/2048 to rate/2"},
    {.key = "frame", .kind = SettingKind::kFlag, .number = &Settings::frame,
     .help = "axes, a title and a colour bar in margins around the picture"},
    {.key = "coverage", .kind = SettingKind::kText, .text = &Settings::coverage, .choices = kCoverageChoices,
     .value_name = "sampled|full",
     .help = "sampled: one 2048-sample window per column; full: every\nsample counts (the loudest of all windows)"},
    {.key = "channels", .kind = SettingKind::kText, .text = &Settings::channels, .choices = kChannelsChoices,
     .value_name = "mix|split", .help = "mix: the channels' mean; split: a pane per channel (up to 8)"},
    {.key = "update", .kind = SettingKind::kFlag, .number = &Settings::update, .short_option = 'u',
     .help = "skip sources whose picture records that it is up to date"},
    {.key = "report", .kind = SettingKind::kText, .text = &Settings::report, .valid = valid_report_name,
     .rule = "a FILE name ending in .csv or .jsonl", .stops_run = true, .value_name = "FILE",
     .help = "write a record of every file to FILE (.csv or .jsonl,\nany case; %a: the shard number)"},
    {.key = "shard", .kind = SettingKind::kText, .text = &Settings::shard, .rule = "K/N (0 <= K < N) or slurm",
     .stops_run = true, .value_name = "K/N|slurm",
     .help = "convert only the files of shard K of N (slurm: of this\narray task)"},
    {.key = "index", .kind = SettingKind::kText, .text = &Settings::index, .value_name = "FILE",
     .help = "write a browsable page of the run to FILE (.html), its\nthumbnails beside it (%a: the shard number)"},
    {.key = "progress", .kind = SettingKind::kFlag, .number = &Settings::progress,
     .help = "a status line of the run on standard error; 0: none;\nunset: when standard error is a terminal (not with -q)"},
    {.key = "width", .kind = SettingKind::kText, .text = &Settings::width, .valid = valid_width,
     .rule = "auto or a whole number from 16 to 20000", .value_name = "auto|N",
     .help = "columns: auto (one per 0.15 s, 250..1000) or N (16..20000)"},
    {.key = "height", .kind = SettingKind::kNumber, .number = &Settings::height, .min = 64, .max = 8192,
     .clamp_in_file = true, .value_name = "N", .help = "rows of each pane, 64..8192"},
    {.key = "fft", .kind = SettingKind::kText, .text = &Settings::fft, .valid = valid_fft,
     .rule = "a power of two from 256 to 65536", .value_name = "N",
     .help = "samples of each transform, a power of two 256..65536"},
    {.key = "window", .kind = SettingKind::kText, .text = &Settings::window, .choices = kWindowChoices,
     .value_name = "NAME", .help = "hann, hamming, blackman-harris, kaiser or rectangular;\n0 dBFS stays a full-scale sine under each"},
    {.key = "time", .kind = SettingKind::kText, .text = &Settings::time, .valid = valid_time,
     .rule = "START..END in seconds or [h:]m:ss, either side empty, END after START",
     .value_name = "START..END", .help = "draw only that stretch (seconds or [h:]m:ss, e.g. 1:30..)"},
    {.key = "freq", .kind = SettingKind::kText, .text = &Settings::freq, .valid = valid_freq,
     .rule = "LOW..HIGH in Hz or with a k suffix, either side empty, HIGH above LOW",
     .value_name = "LOW..HIGH", .help = "draw only that band (Hz, or kHz with k, e.g. 1k..8k)"},
    {.key = "data", .kind = SettingKind::kText, .text = &Settings::data, .choices = kDataChoices,
     .value_name = "off|npz", .help = "npz: the levels in dBFS behind each picture, its columns'\ntimes and rows' frequencies, as SOURCE.npz beside it"},
    {.key = "start-time", .kind = SettingKind::kText, .text = &Settings::start_time, .valid = valid_start_time,
     .rule = "an ISO 8601 time such as 2024-05-12T05:30:00, Z or +02:00 after it", .value_name = "TIME",
     .help = "the recordings' start (ISO 8601): a framed picture's time\naxis reads as a clock (else from bext, creation_time or\na name like 20240512_053000)"},
    {.key = "readable", .kind = SettingKind::kFlag, .number = &Settings::readable,
     .help = "a picture to read: frame=1, range=-120:0 and coverage=full\nwhere they are not given"},
}};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lower(x) == lower(y);
           });
}

std::string_view unquote(std::string_view v) {
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
    return v;
}

std::string join(std::span<const std::string_view> words) {
    std::string out;
    for (std::string_view w : words) out += (out.empty() ? "" : ", ") + std::string(w);
    return out;
}

}  // namespace

std::size_t edit_distance(std::string_view a, std::string_view b) {
    // Three rows of the table: a swap looks two rows back.
    std::vector<std::size_t> before(b.size() + 1), last(b.size() + 1), row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::swap(before, last);
        std::swap(last, row);
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const bool same = lower(a[i - 1]) == lower(b[j - 1]);
            row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + (same ? 0 : 1)});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1]))
                row[j] = std::min(row[j], before[j - 2] + 1);
        }
    }
    return row[b.size()];
}

namespace {

// One line of section [general] that is not a comment.
struct Entry {
    int line = 0;
    std::string_view key, value;  // trimmed; the value unquoted
    bool has_equals = true;       // else `key` is the whole line
};

std::vector<Entry> general_entries(std::string_view text) {
    // Editors on Windows may put a byte-order mark in front of the first line.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    std::vector<Entry> entries;
    bool in_section = false;
    for (int number = 1; !text.empty(); ++number) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);

        if (line.ends_with('\r')) line.remove_suffix(1);
        line = trim(line);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            if (close != std::string_view::npos) in_section = iequals(trim(line.substr(1, close - 1)), kSection);
            continue;
        }
        if (!in_section) continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) entries.push_back({number, line, {}, false});
        else entries.push_back({number, trim(line.substr(0, eq)), unquote(trim(line.substr(eq + 1)))});
    }
    return entries;
}

std::string unknown_key_warning(std::string_view key) {
    std::string message = "unknown key " + std::string(key);
    for (const SettingDef& def : kSettings) {
        if (edit_distance(key, def.key) <= kSlipEdits) {
            message += " (did you mean " + std::string(def.key) + "?)";
            break;
        }
    }
    return message + "; ignored";
}

// The file's rules for a number: what today's reading gives, and why it
// differs from what was written, when it does. Out of range is clamped,
// except that a job count below 0 gives the default, 0.
int file_number(const SettingDef& def, std::string_view value, std::string* why) {
    int n = read_int(value);
    if (!is_whole_number(value)) *why = "is not a number";
    const int read = n;
    if (def.kind == SettingKind::kFlag) n = n != 0 ? 1 : 0;
    if (def.clamp_in_file) n = std::clamp(n, def.min, def.max);
    if (def.capped_by_cores) n = n < def.min ? Settings{}.*def.number : std::min(n, max_jobs());
    if (why->empty() && n != read) {
        if (def.kind == SettingKind::kFlag) *why = "is not 0 or 1";
        else if (def.capped_by_cores && read < def.min) *why = "is below " + std::to_string(def.min);
        else if (def.capped_by_cores) *why = "is more than " + std::to_string(kJobsPerCore) + " per processor core";
        else *why = "is outside " + std::to_string(def.min) + ".." + std::to_string(def.max);
    }
    return n;
}

// Sets `def`'s field from the file's value; the reason it is a mistake, if it is.
std::string apply_file_value(Settings& s, const SettingDef& def, std::string_view value) {
    std::string why;
    if (def.text) {
        s.*def.text = std::string(value.substr(0, std::min(value.size(), def.max_chars)));
        if (!def.choices.empty() &&
            std::none_of(def.choices.begin(), def.choices.end(), [&](std::string_view c) { return iequals(c, value); }))
            why = "is not one of " + join(def.choices);
        // Choices are compared without regard to case; the rest of the
        // program sees them in lower case.
        if (!def.choices.empty() && def.text != &Settings::output)
            for (char& c : s.*def.text) c = lower(c);
        // Any other text has always meant PNG for `output`; elsewhere an
        // unknown choice means the default.
        if (!why.empty() && def.text != &Settings::output) s.*def.text = Settings{}.*def.text;
        // A value that stops the run is kept for the caller to refuse.
        if (def.valid && !def.stops_run && !def.valid(value)) {
            why = "is not " + std::string(def.rule.empty() ? def.value_name : def.rule);
            s.*def.text = Settings{}.*def.text;
        }
    } else {
        s.*def.number = file_number(def, value, &why);
    }
    return why;
}

}  // namespace

std::span<const SettingDef> setting_definitions() { return kSettings; }

const SettingDef* find_setting(std::string_view key) {
    for (const SettingDef& def : kSettings)
        if (iequals(def.key, key)) return &def;
    return nullptr;
}

std::string setting_value_text(const Settings& s, const SettingDef& def) {
    if (def.text) {
        if (def.text == &Settings::output) return s.format == image::FileType::Jpeg ? "jpeg" : "png";
        return s.*def.text;
    }
    if (def.kind == SettingKind::kFlag && s.*def.number < 0) return "";  // unset
    return std::to_string(s.*def.number);
}

int max_jobs() {
    return kJobsPerCore * usable_cores();
}

int usable_cores() {
    // A set sized for the machine's possible CPUs, not the fixed 1024 of cpu_set_t.
    const int possible = std::max({1, static_cast<int>(std::thread::hardware_concurrency()), CPU_SETSIZE});
    struct Free {
        void operator()(cpu_set_t* s) const { CPU_FREE(s); }
    };
    const std::unique_ptr<cpu_set_t, Free> set(CPU_ALLOC(possible));
    const std::size_t bytes = CPU_ALLOC_SIZE(possible);
    if (set && sched_getaffinity(0, bytes, set.get()) == 0) return std::max(1, CPU_COUNT_S(bytes, set.get()));
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

void finish_settings(Settings& s) {
    s.format = iequals(s.output, "jpeg") || iequals(s.output, "jpg") ? image::FileType::Jpeg : image::FileType::Png;
}

std::string file_origin(const SettingLines& lines, const SettingDef& def, const Settings& settings) {
    const auto at = lines.line.find(&def);
    const std::string line = at == lines.line.end() ? "" : ":" + std::to_string(at->second);
    return lines.file + line + ": " + std::string(def.key) + "=" + setting_value_text(settings, def);
}

std::optional<std::string> unused_outdir_warning(const Settings& run, const SettingLines& lines) {
    const SettingDef& def = *find_setting("outdir");
    if (run.local != 0 || run.outdir == Settings{}.outdir || !lines.line.contains(&def)) return std::nullopt;
    return "tolvek: " + file_origin(lines, def, run) +
           " is used only with local=1; the pictures go beside the sources (-o DIR puts them under DIR)";
}

Settings parse_settings(std::string_view text, const std::string& file, std::vector<std::string>* warnings,
                        SettingLines* lines) {
    Settings s;
    std::map<const SettingDef*, int> first_line;
    auto warn = [&](int line, const std::string& what) {
        if (warnings) warnings->push_back("tolvek: " + file + ":" + std::to_string(line) + ": " + what);
    };
    for (const Entry& e : general_entries(text)) {
        const SettingDef* def = find_setting(e.key);
        const std::string written = std::string(e.key) + "=" + std::string(e.value);
        if (!e.has_equals) {
            warn(e.line, "\"" + std::string(e.key) + "\" is not key=value; ignored");
        } else if (!def) {
            warn(e.line, unknown_key_warning(e.key));
        } else if (const auto seen = first_line.find(def); seen != first_line.end()) {
            warn(e.line, written + " repeats the key of line " + std::to_string(seen->second) + "; ignored");
        } else {
            first_line.emplace(def, e.line);
            if (e.value.empty()) continue;  // the default
            const std::string why = apply_file_value(s, *def, e.value);
            finish_settings(s);
            if (!why.empty()) warn(e.line, written + " " + why + "; using " + setting_value_text(s, *def));
        }
    }
    finish_settings(s);
    if (lines) *lines = {file, std::move(first_line)};
    return s;
}

Settings parse_settings(std::string_view text) { return parse_settings(text, kSettingsFile, nullptr); }

namespace {

// The settings file's text, up to kSettingsFileLimitBytes: a larger file is
// read to its last whole line within them, with a warning.
Status read_settings_text(const std::string& path, std::string& text, std::vector<std::string>* warnings) {
    if (Status status = read_regular_file(path, text, kSettingsFileLimitBytes + 1); !status) return status;
    if (text.size() > kSettingsFileLimitBytes) {
        text.resize(kSettingsFileLimitBytes);
        const std::size_t last_line_end = text.rfind('\n');
        text.resize(last_line_end == std::string::npos ? 0 : last_line_end + 1);
        if (warnings)
            warnings->push_back("tolvek: " + path + ": larger than " + std::to_string(kSettingsFileLimitBytes >> 20) +
                                " MiB; the lines after its first MiB are ignored");
    }
    return Status::ok();
}

}  // namespace

Settings read_settings(const std::string& path, std::vector<std::string>* warnings, SettingLines* lines) {
    std::string text;
    const Status status = read_settings_text(path, text, warnings);
    if (status) return parse_settings(text, path, warnings, lines);
    // A missing file, or a FIFO, device or folder in its place, simply means
    // no settings; a real file we may not read is worth a word.
    const bool missing = status.code == kOpenNotRegular || status.message == std::strerror(ENOENT);
    if (!missing && warnings)
        warnings->push_back("tolvek: " + path + ": " + status.message + "; using the default settings");
    return Settings{};
}

Settings read_settings(const std::string& path) { return read_settings(path, nullptr); }

Status read_config_file(const std::string& path, Settings& out, std::vector<std::string>* warnings,
                        SettingLines* lines) {
    std::string text;
    if (const Status status = read_settings_text(path, text, warnings); !status)
        return Status::fail(std::make_error_code(std::errc::invalid_argument), "tolvek: --config " + path + ": " + status.message);
    out = parse_settings(text, path, warnings, lines);
    return Status::ok();
}

std::optional<std::string> palette_warning(const std::string& value, const std::string& path, bool set_by_user) {
    RegularFile file;
    const Status status = open_regular_file(path, file);
    if (status) return std::nullopt;
    if (status.message == std::strerror(ENOENT) && !set_by_user) return std::nullopt;
    return "tolvek: palette " + value + ": " + status.message + "; using the built-in colours";
}

}  // namespace tolvek::frontend
