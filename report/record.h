// One line of a run's report per file the walk visits: what became of it and
// what was measured, for spreadsheets and scripts (CSV or JSON Lines).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "convert/convert.h"

namespace tolvek::report {

// Fields that do not apply to a file are empty (CSV) or null (JSON).
struct Record {
    std::string source;                       // the path as the walk formed it
    std::optional<std::string> picture;
    std::string status;                       // one of the kStatus* words
    std::optional<std::string> reason;
    std::optional<std::string> codec;
    std::optional<std::int64_t> rate_hz;
    std::optional<std::int64_t> channels;
    std::optional<double> duration_s;
    std::optional<double> bitrate_kbps;
    std::optional<std::int64_t> size_bytes;
    std::optional<std::int64_t> columns;
    std::optional<double> seconds_per_column;
    std::optional<double> coverage_pct;
    std::optional<double> peak_dbfs;
    std::optional<std::int64_t> clipped_samples;
    std::optional<double> silence_pct;
    std::optional<double> cutoff_hz;
    std::optional<std::string> lossy_origin;  // "suspected", "no", or empty
    std::optional<double> elapsed_ms;
    std::optional<double> damaged_at_s;           // where a damaged file's first fault lies
    std::optional<std::int64_t> upsampled_from_hz;
    std::optional<std::string> bit_depth;         // "16", "24", "32" or "float"
    std::optional<std::int64_t> effective_bits;
    std::optional<std::string> md5_ok;            // "yes", "no", or empty
    std::optional<double> loudness_lufs;
    std::optional<double> loudness_range_lu;
    std::optional<double> true_peak_dbtp;
    std::optional<std::string> artist;
    std::optional<std::string> album;
    std::optional<std::string> title;
    std::optional<std::string> data;              // the numbers behind the picture, when written
    std::optional<std::string> start_time;        // the recording's start, ISO 8601

    // The records of the outcomes a run decides without converting; a
    // conversion's record comes from record_from().
    // A file or pattern that could not be read, with the system's reason.
    static Record unreadable(std::string source, std::string reason);
    // A file whose picture path this run has already written.
    static Record duplicate_picture(std::string source, const std::string& picture);
    // A file whose picture is up to date: what `kept` (the record stored in
    // the picture) measured, under its present source and picture, with no
    // reason; a damaged file stays damaged, for the same reason.
    static Record up_to_date(std::string source, std::string picture, Record kept);

    bool operator==(const Record&) const = default;
};

inline constexpr std::string_view kStatusWritten = "written";
inline constexpr std::string_view kStatusUpToDate = "up-to-date";
inline constexpr std::string_view kStatusDamaged = "damaged";
inline constexpr std::string_view kStatusNotAudio = "not-audio";
inline constexpr std::string_view kStatusUnsupported = "unsupported";
inline constexpr std::string_view kStatusUnreadable = "unreadable";
inline constexpr std::string_view kStatusSaveError = "save-error";
inline constexpr std::string_view kStatusSkipped = "skipped";  // outside the time range drawn

// The report word for a conversion's outcome. "up-to-date" is the run's own
// decision and never comes from here.
std::string_view status_word(convert::Outcome outcome);

// A record from a conversion's result: source, picture (when written),
// status, reason, rate, channels, duration, size, columns, the seconds a
// column covers, codec, bitrate, coverage, levels, cutoff and lossy_origin.
// The elapsed time is the caller's to fill in.
Record record_from(const std::string& source, const convert::Result& result);

// The fields in their report order, each a member of Record: writers and
// readers walk this one table, so the order and names live in one place.
using Member = std::variant<std::string Record::*, std::optional<std::string> Record::*,
                            std::optional<std::int64_t> Record::*, std::optional<double> Record::*>;
struct Field {
    std::string_view name;
    Member member;
};
inline constexpr std::size_t kFieldCount = 32;
extern const std::array<Field, kFieldCount> kFields;
// source, picture, status: how every version's reports begin.
inline constexpr std::size_t kStatusFieldCount = 3;

}  // namespace tolvek::report
