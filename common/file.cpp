#include "common/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

namespace tolvek {

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

Status open_regular_file(const std::string& path, RegularFile& out) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) return Status::fail(kOpenSystem, std::strerror(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Status::fail(kOpenSystem, std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return Status::fail(kOpenNotRegular, std::strerror(EISDIR));
    if (!S_ISREG(st.st_mode)) return Status::fail(kOpenNotRegular, "not a regular file");
    out.fd = std::move(fd);
    out.size = static_cast<std::uint64_t>(st.st_size);
    return Status::ok();
}

Status read_regular_file(const std::string& path, std::string& out, std::size_t limit) {
    RegularFile file;
    if (Status s = open_regular_file(path, file); !s) return s;
    out.clear();
    char buffer[4096];
    while (out.size() < limit) {
        const ssize_t n = ::read(file.fd.get(), buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return Status::fail(kOpenSystem, std::strerror(errno));
        }
        out.append(buffer, static_cast<std::size_t>(std::min<std::size_t>(static_cast<std::size_t>(n), limit - out.size())));
    }
    return Status::ok();
}

}  // namespace tolvek
