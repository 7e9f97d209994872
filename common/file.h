// Opening files that the program only reads (sources, settings, palettes) so
// that what was checked is what is read: one open, then checks on the open
// descriptor, never a second look-up of the path.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "common/status.h"

namespace tolvek {

// An open file descriptor, closed when the object goes.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Error codes of open_regular_file.
enum class OpenError {
    kOpenSystem = 1,      // the system refused (message: its own reason)
    kOpenNotRegular = 2,  // a FIFO, device, socket or directory
};
using enum OpenError;
inline const LayerErrors kOpenErrors{"open"};
inline std::error_code make_error_code(OpenError e) { return {static_cast<int>(e), kOpenErrors}; }

struct RegularFile {
    FileDescriptor fd;
    std::uint64_t size = 0;
};

// Opens `path` for reading without blocking (a FIFO swapped in would block
// an ordinary open for ever) and without becoming a controlling terminal,
// then accepts it only when the open descriptor is a regular file.
Status open_regular_file(const std::string& path, RegularFile& out);

// The whole contents of a regular file, read through open_regular_file, at
// most `limit` bytes (a settings or palette file is small; a huge one is
// read in part rather than filling memory).
Status read_regular_file(const std::string& path, std::string& out, std::size_t limit = 1 << 20);

}  // namespace tolvek

template <>
struct std::is_error_code_enum<tolvek::OpenError> : std::true_type {};
