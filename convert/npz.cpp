#include "convert/npz.h"

#include <minizip/zip.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "image/picture.h"

namespace tolvek::convert {
namespace {

// minizip's file functions over a FILE* the caller opened and closes: the
// "file name" it is given is that FILE*.
voidpf open_given(voidpf, const void* file, int) { return const_cast<void*>(file); }
uLong write_to(voidpf, voidpf stream, const void* buf, uLong size) {
    return static_cast<uLong>(std::fwrite(buf, 1, size, static_cast<FILE*>(stream)));
}
uLong no_read(voidpf, voidpf, void*, uLong) { return 0; }
ZPOS64_T tell_in(voidpf, voidpf stream) { return static_cast<ZPOS64_T>(ftello(static_cast<FILE*>(stream))); }
long seek_in(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    const int whence = origin == ZLIB_FILEFUNC_SEEK_CUR ? SEEK_CUR : origin == ZLIB_FILEFUNC_SEEK_END ? SEEK_END : SEEK_SET;
    return fseeko(static_cast<FILE*>(stream), static_cast<off_t>(offset), whence);
}
int keep_open(voidpf, voidpf) { return 0; }
int error_of(voidpf, voidpf stream) { return std::ferror(static_cast<FILE*>(stream)); }

struct ZipCloser {
    void operator()(zipFile z) const { zipClose(z, nullptr); }
};
using ZipPtr = std::unique_ptr<void, ZipCloser>;

// One stored (uncompressed) member: spectrogram levels barely compress.
bool add_member(zipFile zip, const std::string& name, const std::string& header, const void* data, std::size_t bytes) {
    zip_fileinfo info{};
    if (zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, 0, 0, 1) != ZIP_OK) return false;
    bool ok = zipWriteInFileInZip(zip, header.data(), static_cast<unsigned>(header.size())) == ZIP_OK;
    constexpr std::size_t kChunkBytes = std::size_t{1} << 30;
    for (std::size_t done = 0; ok && done < bytes; done += kChunkBytes) {
        const std::size_t n = std::min(kChunkBytes, bytes - done);
        ok = zipWriteInFileInZip(zip, static_cast<const char*>(data) + done, static_cast<unsigned>(n)) == ZIP_OK;
    }
    return zipCloseFileInZip(zip) == ZIP_OK && ok;
}

Status write_members(FILE* out, const std::string& path, const SpectrogramData& d) {
    zlib_filefunc64_def io{open_given, no_read, write_to, tell_in, seek_in, keep_open, error_of, nullptr};
    const Status failed = Status::fail(image::kSaveWrite, "cannot write " + path + ": " + std::strerror(errno));
    ZipPtr zip(zipOpen2_64(out, APPEND_STATUS_CREATE, nullptr, &io));
    if (!zip) return failed;
    const auto p = static_cast<std::size_t>(d.panes), r = static_cast<std::size_t>(d.rows),
               c = static_cast<std::size_t>(d.columns);
    const bool ok = add_member(zip.get(), "db.npy", npy_header("<f4", {p, r, c}), d.db.data(), d.db.size() * sizeof(float)) &&
                    add_member(zip.get(), "times_s.npy", npy_header("<f8", {c}), d.times_s.data(),
                               d.times_s.size() * sizeof(double)) &&
                    add_member(zip.get(), "freqs_hz.npy", npy_header("<f8", {r}), d.freqs_hz.data(),
                               d.freqs_hz.size() * sizeof(double));
    if (!ok || zipClose(zip.release(), nullptr) != ZIP_OK || std::ferror(out)) return failed;
    return Status::ok();
}

}  // namespace

std::string data_path(const std::string& picture) {
    const std::size_t dot = picture.rfind('.');
    const std::size_t slash = picture.rfind('/');
    const bool has_ending = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (has_ending ? picture.substr(0, dot) : picture) + ".npz";
}

std::string npy_header(const std::string& descr, const std::vector<std::size_t>& shape) {
    std::string dims;
    for (std::size_t n : shape) dims += std::to_string(n) + ",";
    if (shape.size() > 1) dims.pop_back();
    std::string dict = "{'descr': '" + descr + "', 'fortran_order': False, 'shape': (" + dims + "), }";
    constexpr std::size_t kPrefixBytes = 10, kAlignBytes = 64;
    const std::size_t total = (kPrefixBytes + dict.size() + 1 + kAlignBytes - 1) / kAlignBytes * kAlignBytes;
    dict.append(total - kPrefixBytes - dict.size() - 1, ' ');
    dict += '\n';
    const std::size_t length = dict.size();
    return std::string("\x93NUMPY\x01\x00", 8) + static_cast<char>(length & 0xFF) + static_cast<char>(length >> 8) + dict;
}

Status write_npz(const std::string& path, const SpectrogramData& data) {
    return image::save_file(path, [&](FILE* out) { return write_members(out, path, data); });
}

}  // namespace tolvek::convert
