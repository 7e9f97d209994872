#include "report/format.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

namespace tolvek::report {
namespace {

// ---- values as text -------------------------------------------------------

// A field's text, or nothing for null; `quoted` tells a string from a number.
struct Cell {
    std::optional<std::string> text;
    bool quoted = false;
};

// Shortest text that reads back to the same value; to_chars ignores the locale.
template <typename T>
std::string number_text(T value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    return ec == std::errc() ? std::string(buf, end) : std::string();
}

Cell cell_of(const Record& r, const Member& member) {
    struct Visit {
        const Record& r;
        Cell operator()(std::string Record::*m) const { return {r.*m, true}; }
        Cell operator()(std::optional<std::string> Record::*m) const { return {r.*m, true}; }
        Cell operator()(std::optional<std::int64_t> Record::*m) const {
            return {(r.*m) ? std::optional(number_text(*(r.*m))) : std::nullopt, false};
        }
        Cell operator()(std::optional<double> Record::*m) const {
            // JSON has no infinities or NaN: a value that is not finite is null.
            const auto& v = r.*m;
            return {(v && std::isfinite(*v)) ? std::optional(number_text(*v)) : std::nullopt, false};
        }
    };
    return std::visit(Visit{r}, member);
}

template <typename T>
bool parse_number(std::string_view text, T& value) {
    if (text.empty()) return false;
    if (text.front() == '+') return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

// Sets one field from its text (nothing: null). False when a number does not parse.
bool assign(Record& r, const Member& member, const std::optional<std::string>& text) {
    struct Visit {
        Record& r;
        const std::optional<std::string>& t;
        bool operator()(std::string Record::*m) const { r.*m = t.value_or(""); return true; }
        bool operator()(std::optional<std::string> Record::*m) const { r.*m = t; return true; }
        bool operator()(std::optional<std::int64_t> Record::*m) const {
            std::int64_t v = 0;
            if (!t) return (r.*m).reset(), true;
            return parse_number(*t, v) && ((r.*m = v), true);
        }
        bool operator()(std::optional<double> Record::*m) const {
            double v = 0;
            if (!t) return (r.*m).reset(), true;
            return parse_number(*t, v) && ((r.*m = v), true);
        }
    };
    return std::visit(Visit{r, text}, member);
}

// ---- UTF-8 ------------------------------------------------------------------

// Length of the valid UTF-8 sequence at the start of `s` (shortest form, no
// surrogates, at most U+10FFFF), or 0 when its first byte is not part of one.
std::size_t utf8_length(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) { n = 3; if (c == 0xE0) lo = 0xA0; if (c == 0xED) hi = 0x9F; }
    else if (c >= 0xF0 && c <= 0xF4) { n = 4; if (c == 0xF0) lo = 0x90; if (c == 0xF4) hi = 0x8F; }
    else return 0;
    if (s.size() < n || b(1) < lo || b(1) > hi) return 0;
    for (std::size_t i = 2; i < n; ++i)
        if (b(i) < 0x80 || b(i) > 0xBF) return 0;
    return n;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void append_u_escape(std::string& out, unsigned value) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

// ---- CSV --------------------------------------------------------------------

void append_csv_field(std::string& out, const Cell& cell) {
    if (!cell.text) return;  // null: an empty field
    const std::string& t = *cell.text;
    // A present but empty string is "" so that it reads back apart from null.
    if (cell.quoted && (t.empty() || t.find_first_of(",\"\r\n") != std::string::npos)) {
        out += '"';
        for (char c : t) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
    } else {
        out += t;
    }
}

// Splits CSV text into records of fields; an unquoted empty field is null.
Status split_csv(std::string_view text, std::vector<std::vector<std::optional<std::string>>>& rows) {
    std::size_t i = 0;
    while (i < text.size()) {
        std::vector<std::optional<std::string>> row;
        for (;;) {
            std::optional<std::string> field;
            if (i < text.size() && text[i] == '"') {
                std::string value;
                for (++i;; ++i) {
                    if (i >= text.size()) return Status::fail(kErrorData, "a quoted CSV field is not closed");
                    if (text[i] == '"') {
                        if (i + 1 < text.size() && text[i + 1] == '"') { value += '"'; ++i; continue; }
                        ++i;
                        break;
                    }
                    value += text[i];
                }
                field = std::move(value);
            } else {
                const std::size_t end = std::min(text.find_first_of(",\r\n", i), text.size());
                if (text.substr(i, end - i).find('"') != std::string_view::npos)
                    return Status::fail(kErrorData, "a quote inside an unquoted CSV field");
                if (end > i) field = std::string(text.substr(i, end - i));
                i = end;
            }
            row.push_back(std::move(field));
            if (i < text.size() && text[i] == ',') { ++i; continue; }
            if (i < text.size() && text[i] == '\r') ++i;
            if (i < text.size() && text[i] == '\n') { ++i; break; }
            if (i >= text.size()) break;
            return Status::fail(kErrorData, "stray characters after a quoted CSV field");
        }
        rows.push_back(std::move(row));
    }
    return Status::ok();
}

Status parse_csv(std::string_view text, std::vector<Record>& out) {
    std::vector<std::vector<std::optional<std::string>>> rows;
    if (Status s = split_csv(text, rows); !s) return s;
    if (rows.empty()) return Status::fail(kErrorData, "the CSV report has no header line");
    // Reports of earlier versions hold the first fields only; later fields
    // are added at the end, so a header that is a prefix reads too.
    const auto& header = rows.front();
    const std::size_t columns = header.size();
    bool header_ok = columns >= kStatusFieldCount && columns <= kFieldCount;
    for (std::size_t f = 0; header_ok && f < columns; ++f) header_ok = header[f] == kFields[f].name;
    if (!header_ok) return Status::fail(kErrorData, "the CSV header is not the report's field names");
    for (std::size_t row = 1; row < rows.size(); ++row) {
        const std::string where = "CSV record " + std::to_string(row);
        if (rows[row].size() != columns)
            return Status::fail(kErrorData, where + " has " + std::to_string(rows[row].size()) + " fields");
        Record r;
        for (std::size_t f = 0; f < columns; ++f)
            if (!assign(r, kFields[f].member, rows[row][f]))
                return Status::fail(kErrorData, where + ": " + std::string(kFields[f].name) + " is not a number");
        out.push_back(std::move(r));
    }
    return Status::ok();
}

// ---- JSON Lines -------------------------------------------------------------

// Reads one flat object of strings, numbers and nulls: all a record holds.
class JsonReader {
public:
    explicit JsonReader(std::string_view text) : t_(text) {}

    Status object(Record& r) {
        if (!eat('{')) return fail("expected '{'");
        skip_space();
        if (eat('}')) return end();
        for (;;) {
            std::string name;
            if (Status s = string(name); !s) return s;
            if (!eat(':')) return fail("expected ':'");
            std::optional<std::string> value;
            if (Status s = any_value(value); !s) return s;
            for (const Field& f : kFields)  // names we do not know are skipped
                if (f.name == name && !assign(r, f.member, value))
                    return fail(std::string(f.name) + " is not a number");
            if (eat(',')) continue;
            if (eat('}')) return end();
            return fail("expected ',' or '}'");
        }
    }

private:
    std::string_view t_;
    std::size_t i_ = 0;

    Status fail(const std::string& what) const {
        return Status::fail(kErrorData, "JSON at byte " + std::to_string(i_) + ": " + what);
    }
    void skip_space() {
        while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\r')) ++i_;
    }
    bool eat(char c) {
        skip_space();
        if (i_ < t_.size() && t_[i_] == c) { ++i_; return true; }
        return false;
    }
    Status end() {
        skip_space();
        return i_ == t_.size() ? Status::ok() : fail("text after the object");
    }
    bool hex4(unsigned& v) {
        if (t_.size() - i_ < 4) return false;
        auto [p, ec] = std::from_chars(t_.data() + i_, t_.data() + i_ + 4, v, 16);
        if (ec != std::errc() || p != t_.data() + i_ + 4) return false;
        i_ += 4;
        return true;
    }
    Status escape(std::string& out) {
        const char c = t_[i_++];
        static constexpr std::string_view kFrom = "\"\\/bfnrt", kTo = "\"\\/\b\f\n\r\t";
        if (auto k = kFrom.find(c); k != std::string_view::npos) { out += kTo[k]; return Status::ok(); }
        unsigned u = 0;
        if (c != 'u' || !hex4(u)) return fail("bad escape");
        if (u >= 0xDC80 && u <= 0xDCFF) { out += static_cast<char>(u - 0xDC00); return Status::ok(); }
        if (u >= 0xD800 && u <= 0xDBFF) {
            unsigned low = 0;
            if (t_.substr(i_, 2) != "\\u" || (i_ += 2, !hex4(low)) || low < 0xDC00 || low > 0xDFFF)
                return fail("unpaired surrogate");
            u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return fail("unpaired surrogate");
        }
        append_utf8(out, u);
        return Status::ok();
    }
    Status string(std::string& out) {
        if (!eat('"')) return fail("expected a string");
        while (i_ < t_.size()) {
            const char c = t_[i_++];
            if (c == '"') return Status::ok();
            if (static_cast<unsigned char>(c) < 0x20) return fail("control character in a string");
            if (c != '\\') { out += c; continue; }
            if (i_ >= t_.size()) break;
            if (Status s = escape(out); !s) return s;
        }
        return fail("string not closed");
    }
    Status any_value(std::optional<std::string>& out) {
        skip_space();
        if (i_ < t_.size() && t_[i_] == '"') {
            std::string s;
            if (Status st = string(s); !st) return st;
            out = std::move(s);
            return Status::ok();
        }
        const std::size_t start = i_;
        while (i_ < t_.size() && std::strchr(",} \t\r", t_[i_]) == nullptr) ++i_;
        const std::string_view word = t_.substr(start, i_ - start);
        if (word == "null") return Status::ok();
        if (word.empty()) return fail("expected a value");
        out = std::string(word);  // checked as a number when assigned
        return Status::ok();
    }
};

Status parse_jsonl(std::string_view text, std::vector<Record>& out) {
    std::size_t line_no = 0;
    while (!text.empty()) {
        const std::size_t nl = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, nl);
        text.remove_prefix(std::min(nl + 1, text.size()));
        ++line_no;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        Record r;
        if (Status s = JsonReader(line).object(r); !s)
            return Status::fail(kErrorData, "line " + std::to_string(line_no) + ": " + s.message);
        out.push_back(std::move(r));
    }
    return Status::ok();
}

// ---- files ------------------------------------------------------------------

struct FdCloser {
    void operator()(const int* fd) const {
        if (*fd >= 0) ::close(*fd);
        delete fd;
    }
};
using UniqueFd = std::unique_ptr<int, FdCloser>;

Status io_error(const std::string& what, const std::string& path, int err) {
    return Status::fail(kErrorIo, what + " " + path + ": " + std::strerror(err));
}

Status write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Status::fail(system_error_code(errno), std::strerror(errno));
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return Status::ok();
}

// A new file beside `path` that nobody else can have opened: O_EXCL on a
// name with a random part, tried a few times.
Status create_temporary(const std::string& path, std::string& temp, UniqueFd& fd) {
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::ostringstream name;
        name << path << ".tmp" << ::getpid() << '.' << std::hex << random();
        temp = name.str();
        const int raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (raw >= 0) { fd.reset(new int(raw)); return Status::ok(); }
        if (errno != EEXIST) return io_error("cannot create a temporary file for", path, errno);
    }
    return io_error("cannot create a temporary file for", path, EEXIST);
}

}  // namespace

std::optional<Format> format_for(std::string_view path) {
    const auto ends_with = [path](std::string_view ending) {
        return path.size() >= ending.size() &&
               std::equal(ending.begin(), ending.end(), path.end() - static_cast<std::ptrdiff_t>(ending.size()),
                          [](char e, char c) { return e == std::tolower(static_cast<unsigned char>(c)); });
    };
    if (ends_with(".csv")) return Format::Csv;
    if (ends_with(".jsonl")) return Format::JsonLines;
    return std::nullopt;
}

bool is_report_start(std::string_view start, Format format) {
    if (format == Format::Csv) {
        std::string fields;
        for (std::size_t f = 0; f < kStatusFieldCount; ++f) (fields += kFields[f].name) += ',';
        return start.starts_with(fields);
    }
    return start.starts_with("{\"" + std::string(kFields[0].name) + "\":");
}

std::string json_string(std::string_view bytes) {
    std::string out = "\"";
    while (!bytes.empty()) {
        const unsigned char c = static_cast<unsigned char>(bytes.front());
        const std::size_t n = utf8_length(bytes);
        if (n == 0) {
            append_u_escape(out, 0xDC00 + c);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            append_u_escape(out, c);
        } else {
            out.append(bytes.substr(0, n));
        }
        bytes.remove_prefix(n == 0 ? 1 : n);
    }
    return out + '"';
}

std::string csv_header() {
    std::string out;
    for (const Field& f : kFields) (out += f.name) += ',';
    out.back() = '\r';
    return out + '\n';
}

std::string csv_line(const Record& r) {
    std::string out;
    for (const Field& f : kFields) {
        append_csv_field(out, cell_of(r, f.member));
        out += ',';
    }
    out.back() = '\r';
    return out + '\n';
}

std::string json_line(const Record& r) {
    std::string out = "{";
    for (const Field& f : kFields) {
        const Cell cell = cell_of(r, f.member);
        (out += '"') += f.name;
        out += "\":";
        out += !cell.text ? "null" : cell.quoted ? json_string(*cell.text) : *cell.text;
        out += ',';
    }
    out.back() = '}';
    return out + '\n';
}

std::string render(Format format, std::span<const Record> records) {
    std::string out = format == Format::Csv ? csv_header() : std::string();
    for (const Record& r : records) out += format == Format::Csv ? csv_line(r) : json_line(r);
    return out;
}

Status write_text_atomically(const std::string& path, std::string_view text, const std::string& what) {
    std::string temp;
    UniqueFd fd;
    if (Status s = create_temporary(path, temp, fd); !s) return s;
    Status s = write_all(*fd, text);
    if (s && ::fsync(*fd) != 0) s = Status::fail(system_error_code(errno), std::strerror(errno));
    const int close_result = ::close(*fd.get());
    *fd = -1;  // closed here, so that a failed close is seen; nothing left for the deleter
    if (s && close_result != 0) s = Status::fail(system_error_code(errno), std::strerror(errno));
    if (s && ::rename(temp.c_str(), path.c_str()) != 0) s = Status::fail(system_error_code(errno), std::strerror(errno));
    if (!s) {
        ::unlink(temp.c_str());
        return io_error(what, path, s.code.category() == std::generic_category() ? s.code.value() : EIO);
    }
    return Status::ok();
}

Status write_report(const std::string& path, std::span<const Record> records) {
    const auto format = format_for(path);
    if (!format) return Status::fail(kErrorUsage, "a report name ends in .csv or .jsonl: " + path);
    return write_text_atomically(path, render(*format, records), "cannot write the report");
}


Status parse_report(std::string_view text, Format format, std::vector<Record>& out) {
    return format == Format::Csv ? parse_csv(text, out) : parse_jsonl(text, out);
}

Status read_report(const std::string& path, std::vector<Record>& out) {
    const auto format = format_for(path);
    if (!format) return Status::fail(kErrorUsage, "a report name ends in .csv or .jsonl: " + path);
    std::ifstream in(path, std::ios::binary);
    if (!in) return io_error("cannot read the report", path, errno);
    std::ostringstream text;
    text << in.rdbuf();
    if (Status s = parse_report(text.str(), *format, out); !s)
        return Status::fail(s.code, path + ": " + s.message);
    return Status::ok();
}

}  // namespace tolvek::report
