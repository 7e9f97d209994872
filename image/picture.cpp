#include "image/picture.h"

#include <fcntl.h>
#include <jpeglib.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "common/file.h"
#include "image/png.h"

namespace tolvek::image {

Picture::Picture(int width, int height)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      pixels_((static_cast<std::size_t>(width_) * 3 + 1) * height_, 0) {}

namespace {

std::string errno_text(int err) { return err ? std::strerror(err) : "unknown error"; }

// ---- Temporary files a signal handler can remove --------------------------
//
// The one piece of process-wide mutable state here, and deliberately so: a
// signal handler has no other way to learn which files are half written. A
// slot holds the folder (an open descriptor) and the short name, so that the
// handler needs neither allocation nor a lock: unlinkat() and atomics are
// async-signal-safe.
constexpr std::size_t kRegistrySlots = 256;
constexpr std::size_t kTempNameBytes = 16;  // ".tolvek-XXXXXX" and its NUL
constexpr char kTempPrefix[] = ".tolvek-";
constexpr std::size_t kTempRandomChars = 6;

enum SlotState : int { kFree, kFilling, kArmed, kRemoving, kRemoved };

struct Slot {
    std::atomic<int> state{kFree};
    int dir_fd = -1;
    char name[kTempNameBytes] = {};
};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only touch lock-free atomics");

Slot g_slots[kRegistrySlots];

// Claims a free slot for (dir_fd, name); waits when every slot is taken,
// which takes far more saves at once than any run starts.
Slot& arm_slot(int dir_fd, const std::string& name) {
    for (;;) {
        for (Slot& slot : g_slots) {
            int expected = kFree;
            if (!slot.state.compare_exchange_strong(expected, kFilling, std::memory_order_acquire)) continue;
            slot.dir_fd = dir_fd;
            std::memcpy(slot.name, name.c_str(), name.size() + 1);
            slot.state.store(kArmed, std::memory_order_release);
            return slot;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Frees the slot; when a handler is removing its file just now, waits for it
// so that the folder descriptor stays open while the handler uses it.
void disarm_slot(Slot& slot) {
    int expected = kArmed;
    if (slot.state.compare_exchange_strong(expected, kFilling, std::memory_order_acq_rel)) {
        slot.state.store(kFree, std::memory_order_release);
        return;
    }
    while (slot.state.load(std::memory_order_acquire) == kRemoving) std::this_thread::yield();
    slot.state.store(kFree, std::memory_order_release);
}

// ".tolvek-" and six random letters or digits: short, whatever the length of
// the picture's own name (names up to 255 bytes must still save).
std::string random_temp_name() {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[kTempRandomChars];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        std::random_device device;
        for (auto& b : bytes) b = static_cast<unsigned char>(device());
    }
    std::string name = kTempPrefix;
    for (unsigned char b : bytes) name += kAlphabet[b % (sizeof kAlphabet - 1)];
    return name;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The picture being written. Preferably an unnamed file (O_TMPFILE), which
// nothing can leave behind; it gets a hidden name beside the picture only for
// the moment between linkat() and rename(). Where the file system refuses
// unnamed files, a hidden named file from the start. While a name exists it
// is armed in the registry, so a signal handler can remove it.
class TempFile {
public:
    enum class Kind { Unnamed, Named };

    TempFile(const std::string& final_path, Kind kind) : kind_(kind) {
        dir_ = FileDescriptor(open(folder_of(final_path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!dir_) {
            error_ = errno;
            return;
        }
        // Mode 0666 and the umask, as for any new file the program creates.
        const int fd = kind == Kind::Unnamed ? openat(dir_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666)
                                             : open_named();
        if (fd < 0) {
            error_ = errno;
            return;
        }
        if (!(file_ = fdopen(fd, "wb"))) {
            error_ = errno;
            close(fd);
        }
    }
    ~TempFile() {
        if (file_) std::fclose(file_);
        if (slot_) {
            unlinkat(dir_.get(), name_.c_str(), 0);
            disarm_slot(*slot_);
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    FILE* file() const { return file_; }
    int error() const { return error_; }

    // Makes the written file `final_path`. No fsync: a picture is derived
    // from its source and made again on the next run, and a sync per picture
    // would cost a batch of thousands dearly; rename() still means other
    // processes see the old picture or the whole new one, never a part.
    Status publish(const std::string& final_path);

private:
    int open_named() {
        for (int attempt = 0; attempt < 100; ++attempt) {
            name_ = random_temp_name();
            slot_ = &arm_slot(dir_.get(), name_);
            const int fd = openat(dir_.get(), name_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
            if (fd >= 0) return fd;
            const int err = errno;
            disarm_slot(*slot_);
            slot_ = nullptr;
            errno = err;
            if (err != EEXIST) return -1;
        }
        return -1;
    }

    // Gives the unnamed file a hidden name. "/proc/self/fd/N" with
    // AT_SYMLINK_FOLLOW, since AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH.
    bool link_unnamed() {
        const std::string self = "/proc/self/fd/" + std::to_string(fileno(file_));
        for (int attempt = 0; attempt < 100; ++attempt) {
            name_ = random_temp_name();
            slot_ = &arm_slot(dir_.get(), name_);
            if (linkat(AT_FDCWD, self.c_str(), dir_.get(), name_.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
            const int err = errno;
            disarm_slot(*slot_);
            slot_ = nullptr;
            error_ = err;
            if (err != EEXIST) return false;
        }
        return false;
    }

    Kind kind_;
    FileDescriptor dir_;
    FILE* file_ = nullptr;
    std::string name_;
    Slot* slot_ = nullptr;
    int error_ = 0;
};

Status TempFile::publish(const std::string& final_path) {
    if (std::fflush(file_) != 0 || std::ferror(file_))
        return Status::fail(kSaveWrite, "cannot write " + final_path + ": " + errno_text(errno));
    if (kind_ == Kind::Unnamed && !link_unnamed())
        return Status::fail(kSaveCannotLink, "cannot name " + final_path + ": " + errno_text(error_));
    // close() reports what a network file system could not write.
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (closed != 0) return Status::fail(kSaveWrite, "cannot write " + final_path + ": " + errno_text(errno));
    if (renameat(dir_.get(), name_.c_str(), AT_FDCWD, final_path.c_str()) != 0)
        return Status::fail(kSaveReplace, "cannot replace " + final_path + ": " + errno_text(errno));
    // After the rename: a signal in between finds the name already gone.
    disarm_slot(*slot_);
    slot_ = nullptr;
    return Status::ok();
}

// What the JPEG encoder reports when it stops: errno at the moment it gave
// up (the failed write, when a write failed) and its own message.
struct EncodeError {
    int saved_errno = 0;
    std::string message;
};

struct JpegErrors {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    EncodeError* error;
};

// libjpeg's own error_exit ends the process; this one hands control back.
[[noreturn]] void jpeg_fail(j_common_ptr cinfo) {
    auto* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
    errors->error->saved_errno = errno;
    char text[JMSG_LENGTH_MAX];
    cinfo->err->format_message(cinfo, text);
    errors->error->message = text;
    std::longjmp(errors->jump, 1);
}

void jpeg_quiet(j_common_ptr) {}

// One "key=value" comment per entry, made before setjmp.
std::vector<std::string> jpeg_comments(const Metadata& metadata) {
    std::vector<std::string> comments;
    for (const auto& [key, value] : metadata) comments.push_back(key + "=" + value);
    return comments;
}

bool encode_jpeg(const Picture& picture, const std::vector<std::string>& comments, FILE* out, EncodeError& error) {
    jpeg_compress_struct cinfo{};
    JpegErrors errors{};
    errors.error = &error;
    cinfo.err = jpeg_std_error(&errors.mgr);
    errors.mgr.error_exit = jpeg_fail;
    errors.mgr.output_message = jpeg_quiet;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, out);
    cinfo.image_width = static_cast<JDIMENSION>(picture.width());
    cinfo.image_height = static_cast<JDIMENSION>(picture.height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, picture.jpeg_quality(), TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    // After SOI and the JFIF header, one COM marker per entry.
    for (const std::string& text : comments) {
        jpeg_write_marker(&cinfo, JPEG_COM, reinterpret_cast<const JOCTET*>(text.data()),
                          static_cast<unsigned>(text.size()));
    }
    while (cinfo.next_scanline < cinfo.image_height) {
        // The encoder only reads the scanlines it is given.
        JSAMPROW row = const_cast<JSAMPROW>(picture.row(static_cast<int>(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}


// A JPEG marker holds at most 65533 bytes of data.
constexpr std::size_t kJpegCommentBytes = 65533;

Status check_metadata(const Metadata& metadata) {
    std::size_t total = 0;
    for (const auto& [key, value] : metadata) {
        const bool key_ok = !key.empty() && key.size() <= 79 &&
                            std::all_of(key.begin(), key.end(), [](char c) { return c >= 0x20 && c < 0x7f && c != '='; });
        if (!key_ok) return Status::fail(kSaveBadMetadata, "metadata key \"" + key + "\" is not 1..79 printable ASCII characters without '='");
        if (value.find('\0') != std::string::npos || key.size() + 1 + value.size() > kJpegCommentBytes)
            return Status::fail(kSaveBadMetadata, "metadata value of \"" + key + "\" holds a NUL or is too long");
        total += key.size() + value.size();
    }
    if (total > kMetadataLimitBytes) return Status::fail(kSaveBadMetadata, "metadata larger than 1 MiB");
    return Status::ok();
}

// Errors of open(O_TMPFILE) that mean "not on this file system", not
// "cannot write here".
bool unnamed_files_refused(int err) { return err == EOPNOTSUPP || err == EISDIR || err == EINVAL; }

Status save_once(const Picture& picture, const std::string& path, FileType type, const Metadata& metadata,
                 TempFile::Kind kind) {
    TempFile temp(path, kind);
    if (!temp.file() && kind == TempFile::Kind::Unnamed && unnamed_files_refused(temp.error()))
        return Status::fail(kSaveCannotLink, "no unnamed files beside " + path);
    if (!temp.file())
        return Status::fail(kSaveCreate, "cannot create a file beside " + path + ": " + errno_text(temp.error()));
    if (type == FileType::Png) {
        if (Status bad = write_png(picture, metadata, temp.file()); !bad)
            return Status::fail(bad.code, (bad.code == kSaveWrite ? "cannot write " : "cannot encode ") + path + ": " +
                                              bad.message);
        return temp.publish(path);
    }
    EncodeError encode;
    if (!encode_jpeg(picture, jpeg_comments(metadata), temp.file(), encode)) {
        // A failed write shows in the stream; then errno says why, not the encoder.
        if (std::ferror(temp.file()))
            return Status::fail(kSaveWrite, "cannot write " + path + ": " + errno_text(encode.saved_errno));
        return Status::fail(kSaveEncode, "cannot encode " + path + ": " + encode.message);
    }
    return temp.publish(path);
}

}  // namespace

Status Picture::save(const std::string& path, FileType type, const Metadata& metadata) const {
    if (Status bad = check_metadata(metadata); !bad) return bad;
    Status status = save_once(*this, path, type, metadata, TempFile::Kind::Unnamed);
    if (status.code == kSaveCannotLink) status = save_once(*this, path, type, metadata, TempFile::Kind::Named);
    return status;
}

Status save_file(const std::string& path, const std::function<Status(FILE*)>& write) {
    for (const TempFile::Kind kind : {TempFile::Kind::Unnamed, TempFile::Kind::Named}) {
        TempFile temp(path, kind);
        if (!temp.file() && kind == TempFile::Kind::Unnamed && unnamed_files_refused(temp.error())) continue;
        if (!temp.file())
            return Status::fail(kSaveCreate, "cannot create a file beside " + path + ": " + errno_text(temp.error()));
        if (Status written = write(temp.file()); !written) return written;
        Status published = temp.publish(path);
        if (published.code != kSaveCannotLink || kind == TempFile::Kind::Named) return published;
    }
    return Status::fail(kSaveCannotLink, "cannot name " + path);
}

void remove_unfinished_saves() noexcept {
    for (Slot& slot : g_slots) {
        int expected = kArmed;
        if (!slot.state.compare_exchange_strong(expected, kRemoving, std::memory_order_acq_rel)) continue;
        unlinkat(slot.dir_fd, slot.name, 0);
        slot.state.store(kRemoved, std::memory_order_release);
    }
}

}  // namespace tolvek::image
