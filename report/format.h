// Reports on disk: CSV (RFC 4180, a header line of the field names) or JSON
// Lines (one object per line), chosen by the file name, written whole at the
// end of a run and read back for merging.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "report/record.h"

namespace tolvek::report {

// The report layer's error codes (reports and the index page).
enum class Error {
    kErrorUsage = 1,  // a report name we cannot write (not .csv/.jsonl)
    kErrorData,       // a report we cannot read back
    kErrorIo,         // the file system refused
};
using enum Error;
inline const LayerErrors kReportErrors{"report"};
inline std::error_code make_error_code(Error e) { return {static_cast<int>(e), kReportErrors}; }

enum class Format { Csv, JsonLines };

// ".csv" → Csv, ".jsonl" → JsonLines, the ending in any case ("r.CSV" is
// CSV); anything else (".json", ".cvs", no ending) nothing.
std::optional<Format> format_for(std::string_view path);

// Whether `start`, the first bytes of a file, begins as a report of
// `format` this program writes: CSV with its header line, JSON Lines with a
// record's first field. Only such a file (or none) may be replaced by a report.
bool is_report_start(std::string_view start, Format format);

// A JSON string literal of `bytes`. Valid UTF-8 is kept, control characters
// are escaped, and each byte that is not part of valid UTF-8 becomes
// \udc80..\udcff (the surrogate-escape convention), so any name round-trips.
std::string json_string(std::string_view bytes);

std::string csv_header();                 // the field names, CRLF-terminated
std::string csv_line(const Record& r);    // CRLF-terminated
std::string json_line(const Record& r);   // LF-terminated

// The whole text of a report of `records`, in their order.
std::string render(Format format, std::span<const Record> records);

// Writes the report atomically: a temporary file beside `path`, flushed to
// disk, then renamed over it; on any failure no file is left behind.
Status write_report(const std::string& path, std::span<const Record> records);

// Writes `text` atomically in the same way; `what` begins the message of a
// failure ("cannot write the index"). For other files of a run, such as its index page.
Status write_text_atomically(const std::string& path, std::string_view text, const std::string& what);

// Parses a report's text; CSV needs the header line first.
Status parse_report(std::string_view text, Format format, std::vector<Record>& out);
// Reads a report; the format follows the name as for writing.
Status read_report(const std::string& path, std::vector<Record>& out);

}  // namespace tolvek::report

template <>
struct std::is_error_code_enum<tolvek::report::Error> : std::true_type {};
