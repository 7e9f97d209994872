// Wildcard listing of one directory level: "*" and "?" in the last component
// of a pattern, everything else literal, so names such as 'Song [Live].mp3'
// need no escaping.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvek::walker {

// True when `name` matches `pattern` as a whole. "*" matches any run of bytes
// (also none), "?" exactly one byte, every other byte itself (case-sensitive).
// A name beginning with "." matches only a pattern beginning with ".", so
// hidden entries are left alone unless asked for. Linear in practice, never
// recursive: it is fed untrusted patterns.
bool wildcard_match(std::string_view pattern, std::string_view name);

// True when `text` holds "*" or "?".
bool has_wildcards(std::string_view text);

// A pattern split at its last "/": `dir` keeps the trailing "/" (empty when
// there is none), `name` is the last component.
struct PatternParts {
    std::string_view dir;
    std::string_view name;
};
PatternParts split_pattern(std::string_view pattern);

// The directory a pattern lists: its directory part, or "." when it has none.
std::string listing_directory(std::string_view pattern);

// The entries of a pattern's directory that match its last component, in
// byte order, never "." or "..". A last component without wildcards that
// names an existing entry lists exactly that entry, even where the directory
// cannot be read. Wildcards in directory parts are taken literally.
struct Listing {
    std::vector<std::string> names;
    // Why nothing could be listed, in the system's words (empty when the
    // listing worked), with its errno and the path it is about.
    std::string error;
    int error_errno = 0;
    std::string error_path;
};
Listing list_matching(std::string_view pattern);

}  // namespace tolvek::walker
