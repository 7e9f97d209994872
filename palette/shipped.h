// The ready palettes shipped with the program, found by name ("fire",
// "fire.pal") beside the program itself: <prefix>/share/tolvek/palettes when
// installed, the repository's palettes/ when run from the build tree. Never
// a path fixed at configure time, so an installed tree can be moved.
#pragma once

#include <string>
#include <vector>

namespace tolvek::palette {

// `value` as is when it names an existing file; otherwise the shipped
// palette of that name when there is one; otherwise `value` unchanged.
std::string resolve_palette(const std::string& value);

// The same, looking in `folders` (in order) for the shipped palettes.
std::string resolve_palette(const std::string& value, const std::vector<std::string>& folders);

// Where the shipped palettes may be for a program in `exe_dir`.
std::vector<std::string> shipped_palette_folders(const std::string& exe_dir);

}  // namespace tolvek::palette
