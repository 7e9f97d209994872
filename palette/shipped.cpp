#include "palette/shipped.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>

namespace tolvek::palette {
namespace {

bool is_regular_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The folder of the running program, from /proc/self/exe; empty when unknown.
std::string exe_dir() {
    std::array<char, 4096> buffer{};
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return {};
    const std::string exe(buffer.data(), static_cast<std::size_t>(n));
    const std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

}  // namespace

std::vector<std::string> shipped_palette_folders(const std::string& dir) {
    if (dir.empty()) return {};
    // Installed: <prefix>/bin/tolvek beside <prefix>/share/tolvek/palettes.
    // Build tree: the way from the build folder to the sources' palettes/,
    // relative, so that it holds wherever the two are moved together.
    return {dir + "/../share/tolvek/palettes", dir + "/" TOLVEK_BUILD_TO_PALETTES};
}

std::string resolve_palette(const std::string& value, const std::vector<std::string>& folders) {
    if (value.empty() || is_regular_file(value) || value.find('/') != std::string::npos) return value;
    const std::string name = value.ends_with(".pal") ? value : value + ".pal";
    for (const std::string& folder : folders)
        if (is_regular_file(folder + "/" + name)) return folder + "/" + name;
    return value;
}

std::string resolve_palette(const std::string& value) {
    return resolve_palette(value, shipped_palette_folders(exe_dir()));
}

}  // namespace tolvek::palette
