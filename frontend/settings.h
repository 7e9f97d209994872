// The settings file: section [general] of Tolvek_Pre.ini in the working
// directory (or the file named by --config). Read by a small reader of our
// own so that its rules are exactly these: names compared without regard to
// case; blanks trimmed around names and values and inside the section
// brackets; a trailing carriage return dropped; lines starting with ";" or
// "#" are comments; a value in matching double quotes loses them; the first
// occurrence of a key counts; integers read like atoi; an empty value, or a
// missing file, section or key, gives the default. Mistakes (an unknown key,
// a value that is not a number or out of range, ...) still give those
// values, but each is reported as one warning naming the file, line, key and
// the value used. A bad report name or shard stops the run instead (see
// SettingDef::stops_run). Only the first kSettingsFileLimitBytes are read.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/number.h"
#include "common/status.h"
#include "convert/convert.h"

namespace tolvek::frontend {

inline constexpr const char* kSettingsFile = "Tolvek_Pre.ini";

struct Settings {
    int quality = 75;                       // clamped to 10..100
    int recursive = 0;                      // 0 or 1
    int grid = 1;                           // 0 or 1
    int local = 0;                          // 0 or 1
    int verbose = 0;                        // 0..2; the file's value clamped
    std::string output = "png";             // at most 4 characters
    std::string outdir = ".";               // root of the mirrored tree (local=1)
    std::string palette = "tolvek_color.pal";
    image::FileType format = image::FileType::Png;  // JPEG for output "jpeg" or "jpg"
    int jobs = 0;                           // 0 (one per usable core) or more, at most 4 per core; see worker_count()
    std::string range = "classic";          // classic, or LOW:HIGH in dBFS
    std::string scale = "linear";           // linear or log
    int frame = 0;                          // 0 or 1: axes, title and colour bar
    std::string coverage = "sampled";       // sampled (a window per column) or full (every sample)
    std::string channels = "mix";           // mix, or split: a pane per channel
    int update = 0;                         // 0 or 1: skip sources whose picture is up to date
    std::string report;                     // a report of the run (.csv or .jsonl); %a: the shard
    std::string shard;                      // K/N or slurm: convert only that shard's files
    std::string index;                      // a browsable page of the run (.html); %a: the shard
    int progress = -1;                      // 0 or 1: the run's status line; -1 (unset): on a terminal
    std::string width = "auto";             // auto, or columns 16..20000
    int height = 1024;                      // rows per pane, 64..8192
    std::string fft = "2048";               // frames of each transform, a power of two 256..65536
    std::string window = "hann";            // hann, hamming, blackman-harris, kaiser or rectangular
    std::string time;                       // START..END drawn; empty: all of it
    std::string freq;                       // LOW..HIGH drawn; empty: the whole spectrum
    std::string data = "off";               // off, or npz: the numbers behind each picture beside it
    std::string start_time;                 // the recordings' start, ISO 8601; empty: from each file
    int readable = 0;                       // 0 or 1: frame, range and coverage of a picture to read
};

// How a setting's value reads.
enum class SettingKind {
    kNumber,  // a whole number
    kFlag,    // a whole number, used as 0 or 1; a default below 0 means unset
    kText,
};

// One setting: its key in the settings file, its command-line option and
// its line in --help. Every reader and writer of settings goes through the
// table of these, so a new setting is a field in Settings and one entry.
struct SettingDef {
    std::string_view key;
    SettingKind kind;
    int Settings::*number = nullptr;         // kNumber and kFlag
    std::string Settings::*text = nullptr;   // kText
    int min = 0, max = 0;                    // kNumber: what the command line accepts
    bool clamp_in_file = false;              // kNumber: the file's value is clamped to min..max
    bool capped_by_cores = false;            // kNumber: at most kJobsPerCore per core
    std::size_t max_chars = std::string_view::npos;  // kText: the file's value is cut to this
    std::span<const std::string_view> choices = {};  // kText: the accepted values, any case
    bool (*valid)(std::string_view) = nullptr;       // kText: a value of free form it accepts
    std::string_view rule = {};              // kText: what it accepts, in words, when not the choices
    // A bad value in the file stops the run rather than giving the default
    // with a warning: no report, or every shard converting everything, is
    // not what the user asked for. The caller checks such values, knowing
    // from SettingLines where the file gave them.
    bool stops_run = false;
    std::string_view option = {};            // long option when it is not the key
    char short_option = 0;
    bool short_counts = false;               // the short option takes no value; each use adds one
    std::string_view value_name = {};        // in --help, e.g. "N", "DIR"
    std::string_view help = {};              // "\n" starts a continuation line
};

// Every setting, in the order --help lists them.
std::span<const SettingDef> setting_definitions();
const SettingDef* find_setting(std::string_view key);  // any case; nullptr if none

// Edits (insert, delete, replace, or swap of two neighbours) between two
// short names, any case: a name one or two edits from a known one is most
// likely a typing slip.
std::size_t edit_distance(std::string_view a, std::string_view b);
inline constexpr std::size_t kSlipEdits = 2;  // at most this many edits count as a slip

// A setting's value as --help and messages show it.
std::string setting_value_text(const Settings& s, const SettingDef& def);

// More workers than this per core only add switching and memory.
inline constexpr int kJobsPerCore = 4;
int max_jobs();  // kJobsPerCore times usable_cores()
// The processor cores this process may run on (its affinity mask, which
// taskset and a batch scheduler's CPU limit set), at least 1.
int usable_cores();

// What readable=1 sets, each only where neither the command line nor the
// settings file gives that key.
struct ReadableValue {
    std::string_view key, value;
};
inline constexpr std::array<ReadableValue, 3> kReadableValues{{
    {"frame", "1"}, {"range", "-120:0"}, {"coverage", "full"}}};

// The derived fields (format) after output changed.
void finish_settings(Settings& s);

// The settings in `text`, the contents of the settings file `file_name`
// (only used in warnings). Each mistake adds one line, "tolvek: FILE:LINE:
// ...", to `warnings` when it is not null.
// Where the settings file gave each key: the file's name and the line of
// the occurrence that counts.
struct SettingLines {
    std::string file;
    std::map<const SettingDef*, int> line;
};

// "FILE:LINE: key=value", the words that name a value of the file in a
// message; the value is what `settings` holds.
std::string file_origin(const SettingLines& lines, const SettingDef& def, const Settings& settings);

// The warning for an outdir the file gives while the run's local is 0: the
// pictures go beside the sources, so that outdir does nothing.
std::optional<std::string> unused_outdir_warning(const Settings& run, const SettingLines& lines);

Settings parse_settings(std::string_view text, const std::string& file_name, std::vector<std::string>* warnings,
                        SettingLines* lines = nullptr);
Settings parse_settings(std::string_view text);

// A larger settings file is read up to its last line that ends within this
// many bytes, with a warning: a settings file is a few hundred bytes, and
// the rest of a huge one (a log file named by mistake) would only fill
// memory.
inline constexpr std::size_t kSettingsFileLimitBytes = 1 << 20;

// The settings in the file at `path`; defaults when it is missing or not a
// regular file (a FIFO or device is never opened for reading). A file that
// exists but cannot be read also gives defaults, with a warning.
Settings read_settings(const std::string& path, std::vector<std::string>* warnings, SettingLines* lines = nullptr);
Settings read_settings(const std::string& path);

// The settings file named on the command line (--config): it must be a
// readable regular file, else the Status holds the one line to print (a
// usage error, exit status kUsageStatus).
Status read_config_file(const std::string& path, Settings& out, std::vector<std::string>* warnings,
                        SettingLines* lines = nullptr);

// Exit status of a usage error.
inline constexpr int kUsageStatus = 64;

// A warning about the palette file `path` (the palette setting `value`,
// resolved to a file by the caller) when it cannot be used: it exists but
// cannot be opened or is not a regular file, or it is missing while the user
// named it. A missing default palette is not a mistake: the built-in colours
// are used.
std::optional<std::string> palette_warning(const std::string& value, const std::string& path, bool set_by_user);

using tolvek::read_int;

}  // namespace tolvek::frontend
