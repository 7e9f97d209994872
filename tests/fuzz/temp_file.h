// A fuzz input written to a file of its own, for the readers that take a
// path. Removed again when the object goes, so a long run leaves nothing.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace tolvek::fuzz {

class TempFile {
public:
    // `suffix` is the name's ending (".mp3"), which some readers look at.
    TempFile(const std::uint8_t* data, std::size_t size, const std::string& suffix = "") {
        const char* tmp = std::getenv("TMPDIR");
        path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolvek-fuzz-XXXXXX" + suffix;
        const int fd = mkstemps(path_.data(), static_cast<int>(suffix.size()));
        if (fd < 0) std::abort();  // the machine, not the input: stop the run
        for (std::size_t done = 0; done < size;) {
            const ssize_t n = write(fd, data + done, size - done);
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
        close(fd);
    }
    ~TempFile() { unlink(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace tolvek::fuzz
