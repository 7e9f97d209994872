#include "frontend/settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <optional>

namespace tolvek::frontend {
namespace {

constexpr std::string_view kSection = "general";

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

// The value of `key` in section [general]: its first occurrence, unquoted;
// nothing when the key is missing.
std::optional<std::string_view> find_value(std::string_view text, std::string_view key) {
    // Editors on Windows may put a byte-order mark in front of the first line.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);

    bool in_section = false;
    while (!text.empty()) {
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
        if (eq == std::string_view::npos) continue;
        if (iequals(trim(line.substr(0, eq)), key)) return unquote(trim(line.substr(eq + 1)));
    }
    return std::nullopt;
}

int int_value(std::string_view text, std::string_view key, int fallback) {
    const auto v = find_value(text, key);
    return v && !v->empty() ? read_int(*v) : fallback;
}

std::string text_value(std::string_view text, std::string_view key, std::string_view fallback) {
    const auto v = find_value(text, key);
    return std::string(v && !v->empty() ? *v : fallback);
}

int flag(int value) { return value != 0 ? 1 : 0; }

}  // namespace

int read_int(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (is_blank(text[i]) || text[i] == '\n' || text[i] == '\r' || text[i] == '\v' ||
                               text[i] == '\f'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

Settings parse_settings(std::string_view text) {
    Settings s;
    s.quality = std::clamp(int_value(text, "quality", s.quality), 10, 100);
    s.recursive = flag(int_value(text, "recursive", s.recursive));
    s.grid = flag(int_value(text, "grid", s.grid));
    s.local = flag(int_value(text, "local", s.local));
    s.verbose = int_value(text, "verbose", s.verbose);
    s.jobs = int_value(text, "jobs", s.jobs);
    s.output = text_value(text, "output", s.output).substr(0, 4);
    s.palette = text_value(text, "palette", s.palette);
    s.format = iequals(s.output, "jpeg") || iequals(s.output, "jpg") ? TOLVEK_FORMAT_JPEG : TOLVEK_FORMAT_PNG;
    return s;
}

Settings read_settings(const std::string& path) {
    // Only a regular file: opening a FIFO would block and a device such as
    // /dev/zero never ends. Anything else, or an unreadable file, reads as
    // empty.
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return parse_settings({});
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    std::string text;
    if (file) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) text.append(buffer, n);
    }
    return parse_settings(text);
}

}  // namespace tolvek::frontend

