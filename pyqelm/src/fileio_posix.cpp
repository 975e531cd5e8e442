// POSIX file layer: replaces a file by renaming a complete new one over it where that keeps the
// file what it was, and otherwise rewrites it in place behind a reservation and a copy of the
// old contents.
#include "fileio.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

namespace pyqelm::fileio {
namespace detail {
namespace {

// strerror_r comes in two shapes (XSI returns int, GNU returns the text); overloading on the
// result picks whichever one the C library declares.
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_text(const char* result, const char*) { return result; }

}  // namespace

std::string_view os_error_kind(int code) {
    switch (code) {
        case E2BIG: return "ArgumentListTooLong";
        case EACCES: return "PermissionDenied";
        case EADDRINUSE: return "AddrInUse";
        case EADDRNOTAVAIL: return "AddrNotAvailable";
        case EAGAIN: return "WouldBlock";
        case EBUSY: return "ResourceBusy";
        case ECONNABORTED: return "ConnectionAborted";
        case ECONNREFUSED: return "ConnectionRefused";
        case ECONNRESET: return "ConnectionReset";
        case EDEADLK: return "Deadlock";
        case EDQUOT: return "QuotaExceeded";
        case EEXIST: return "AlreadyExists";
        case EFBIG: return "FileTooLarge";
        case EHOSTUNREACH: return "HostUnreachable";
        case EINPROGRESS: return "InProgress";
        case EINTR: return "Interrupted";
        case EINVAL: return "InvalidInput";
        case EISDIR: return "IsADirectory";
        case ELOOP: return "FilesystemLoop";
        case EMLINK: return "TooManyLinks";
        case ENAMETOOLONG: return "InvalidFilename";
        case ENETDOWN: return "NetworkDown";
        case ENETUNREACH: return "NetworkUnreachable";
        case ENOENT: return "NotFound";
        case ENOMEM: return "OutOfMemory";
        case ENOSPC: return "StorageFull";
        case ENOSYS: return "Unsupported";
        case ENOTCONN: return "NotConnected";
        case ENOTDIR: return "NotADirectory";
        case ENOTEMPTY: return "DirectoryNotEmpty";
        case EPERM: return "PermissionDenied";
        case EPIPE: return "BrokenPipe";
        case EROFS: return "ReadOnlyFilesystem";
        case ESPIPE: return "NotSeekable";
        case ESTALE: return "StaleNetworkFileHandle";
        case ETIMEDOUT: return "TimedOut";
        case ETXTBSY: return "ExecutableFileBusy";
        case EXDEV: return "CrossesDevices";
        default: break;
    }
    // Not a case label: equal to EAGAIN on some systems and distinct on others.
    if (code == EWOULDBLOCK) return "WouldBlock";
    return "Uncategorized";
}

std::string describe_os_error(int code) {
    char buffer[256] = {};
    const char* text = strerror_text(::strerror_r(code, buffer, sizeof buffer), buffer);
    const std::string message = text != nullptr && *text != '\0'
                                    ? std::string(text)
                                    : "Unknown error " + std::to_string(code);
    return os_error_description(code, os_error_kind(code), message);
}

}  // namespace detail

namespace {

using detail::injected_fault;
using detail::Step;
using detail::write_zero;

// Not an error: the file keeps its identity only if rewritten in place.
constexpr int take_in_place = -2;
// The kernel's own limit on symbolic links in one lookup.
constexpr int max_link_hops = 40;
// Writes go out in pieces of this size, each handed to the disk as soon as it is in the page
// cache, so that the flush at the end finds most of the file written already.
constexpr std::size_t write_chunk = std::size_t{8} << 20;
// A component longer than this is refused by common file systems.
constexpr std::size_t max_name_length = 255;

// Owns one file descriptor; every path out of a function closes it.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now and reports a failure, which can carry a deferred write error of a network
    // file system; EINTR still frees the descriptor.
    int close() {
        const int fd = std::exchange(fd_, -1);
        return ::close(fd) != 0 && errno != EINTR ? errno : 0;
    }

private:
    int fd_ = -1;
};

// A temporary file that is removed again unless it was renamed into place.
class TempName {
public:
    explicit TempName(int directory) : directory_(directory) {}
    TempName(const TempName&) = delete;
    TempName& operator=(const TempName&) = delete;
    ~TempName() {
        if (!name.empty()) ::unlinkat(directory_, name.c_str(), 0);
    }
    void release() { name.clear(); }
    std::string name;

private:
    int directory_;
};

#ifndef O_PATH
#define O_PATH O_RDONLY  // a lookup-only descriptor where the system has one
#endif

// The directory that holds a name, as a descriptor (none: the current directory).
class DirectoryFd {
public:
    int get() const { return fd_ ? fd_.get() : AT_FDCWD; }
    // Moves to `path` (ending in '/'), relative to where this one is now.
    int enter(const std::string& path) {
        const int fd = ::openat(get(), path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return errno;
        fd_.reset(fd);
        return 0;
    }
    void take(UniqueFd& fd) { fd_.reset(fd.release()); }
    void leave() { fd_.reset(); }  // back to the current directory

private:
    UniqueFd fd_;
};

struct Target {
    DirectoryFd directory;  // holds the final file, after following symbolic links
    std::string name;
    bool exists = false;
    struct stat status{};
};

int read_link(int directory, const std::string& name, std::string& out) {
    for (std::size_t size = 256;; size *= 2) {
        out.resize(size);
        const ssize_t length = ::readlinkat(directory, name.c_str(), out.data(), size);
        if (length < 0) return errno;
        if (static_cast<std::size_t>(length) < size) {
            out.resize(static_cast<std::size_t>(length));
            return 0;
        }
    }
}

// Renaming over a symbolic link would replace the link itself, so the chain is followed by hand
// to the file a direct open would have written; a dangling link yields the file it names. Each
// step is taken from the directory of the step before, as the kernel does, so that no path
// longer than the caller's own or a link's text is ever looked up.
int resolve(std::string path, Target& target) {
    for (int hops = 0;; ++hops) {
        const std::size_t split = path.find_last_of('/') + 1;  // 0 when there is no slash
        if (split > 0) {
            if (const int error = target.directory.enter(path.substr(0, split)); error != 0) {
                return error;
            }
        }
        target.name = path.substr(split);
        // "" names the directory itself: the empty path, or one that ends in a slash.
        if (target.name.empty()) return split == 0 ? ENOENT : EISDIR;
        struct stat status{};
        if (::fstatat(target.directory.get(), target.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) !=
            0) {
            if (errno != ENOENT) return errno;
            target.exists = false;
            return 0;
        }
        if (!S_ISLNK(status.st_mode)) {
            target.exists = true;
            target.status = status;
            return 0;
        }
        if (hops == max_link_hops) return ELOOP;
        std::string link;
        if (const int error = read_link(target.directory.get(), target.name, link); error != 0) {
            return error;
        }
        // An absolute link starts over from the root; a relative one from the link's directory.
        if (link.starts_with('/')) target.directory.leave();
        path = std::move(link);
    }
}

// Every later step works relative to this descriptor, so the length of the path up to it
// does not matter. A directory the caller may search but not read can still hold the file;
// only the flush of the directory is then out of reach.
int open_directory(DirectoryFd& directory, bool& syncable) {
    UniqueFd readable(::openat(directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    syncable = static_cast<bool>(readable);
    if (readable) {
        directory.take(readable);
        return 0;
    }
    if (errno != EACCES) return errno;
    if (directory.get() == AT_FDCWD) return directory.enter("./");
    return 0;
}

std::uint64_t random_suffix() {
    static std::atomic<std::uint64_t> counter{0};
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t x = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
                      static_cast<std::uint64_t>(now.tv_nsec);
    return detail::temp_name_bits(x, static_cast<std::uint64_t>(::getpid()),
                                  counter.fetch_add(1, std::memory_order_relaxed) + 1);
}

// A fresh ".<name>.<8 hex digits>.tmp" beside the target, 14 bytes longer than its name; the
// name is shortened where that would pass the file system's limit on a name.
int create_temp(int directory, std::string_view name, TempName& temp, UniqueFd& fd) {
    constexpr std::size_t overhead = 1 + 1 + 8 + 4;
    std::size_t keep = std::min(name.size(), max_name_length - overhead);
    // Cut between characters, not inside a UTF-8 sequence.
    while (keep > 0 && keep < name.size() &&
           (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
        --keep;
    }
    for (int attempt = 0;; ++attempt) {
        static constexpr char hex[] = "0123456789abcdef";
        std::string suffix(8, '0');
        std::uint64_t bits = random_suffix();
        for (char& digit : suffix) {
            digit = hex[bits & 0xF];
            bits >>= 4;
        }
        std::string temp_name = ".";
        temp_name += name.substr(0, keep);
        temp_name += '.';
        temp_name += suffix;
        temp_name += ".tmp";
        // Mode 0666 lets the umask (or a default ACL) decide, as for any newly created file.
        fd.reset(::openat(directory, temp_name.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
        if (fd) {
            temp.name = std::move(temp_name);
            return 0;
        }
        if (errno == EINTR || (errno == EEXIST && attempt < 100)) continue;
        return errno;
    }
}

int pwrite_all(int fd, std::uint64_t offset, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const std::size_t count = std::min(data.size(), write_chunk);
        const ssize_t written = ::pwrite(fd, data.data(), count, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return write_zero;
#ifdef SYNC_FILE_RANGE_WRITE
        // Only starts the writeback of this piece; durability comes from the flush at the end.
        ::sync_file_range(fd, static_cast<off_t>(offset), written, SYNC_FILE_RANGE_WRITE);
#endif
        offset += static_cast<std::uint64_t>(written);
        data = data.subspan(static_cast<std::size_t>(written));
    }
    return 0;
}

// The contents and what is needed to read them back (the length), not the times.
int sync_data(int fd) {
#ifdef F_FULLFSYNC
    // Plain fsync() stops at the drive's cache on systems that offer this.
    if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// Makes the rename itself survive a power cut. Where the directory cannot be read or the file
// system cannot sync directories, the file is in place already and that is the best this
// system offers, so it is not a failure.
int sync_directory(int directory, bool syncable) {
    if (!syncable) return 0;
    while (::fsync(directory) != 0) {
        if (errno == EINTR) continue;
        return errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP || errno == EBADF ? 0
                                                                                            : errno;
    }
    return 0;
}

std::vector<std::string> split_names(const std::vector<char>& list) {
    std::vector<std::string> names;
    for (std::size_t pos = 0; pos < list.size();) {
        const std::size_t end =
            std::find(list.begin() + static_cast<std::ptrdiff_t>(pos), list.end(), '\0') -
            list.begin();
        if (end > pos) names.emplace_back(list.data() + pos, end - pos);
        pos = end + 1;
    }
    return names;
}

// The names of a file's extended attributes; a file system without them has none.
bool list_attributes(int fd, std::vector<std::string>& names) {
    std::vector<char> list;
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0) {
            if (errno == ENOTSUP || errno == EOPNOTSUPP) return names.clear(), true;
            return false;
        }
        list.resize(static_cast<std::size_t>(size));
        const ssize_t got = ::flistxattr(fd, list.data(), list.size());
        if (got >= 0) {
            list.resize(static_cast<std::size_t>(got));
            names = split_names(list);
            return true;
        }
        if (errno != ERANGE) return false;  // ERANGE: it grew in between; ask again
    }
}

// Extended attributes carry POSIX ACLs and security labels: the new file must end up with
// exactly the old file's set, or it would not be the same file to its users.
bool copy_attributes(int from, int to) {
    std::vector<std::string> wanted;
    std::vector<std::string> present;
    if (!list_attributes(from, wanted) || !list_attributes(to, present)) return false;
    for (const std::string& name : present) {
        // Given by the directory (an inherited ACL, a default label) but not the old file's.
        if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
            ::fremovexattr(to, name.c_str()) != 0) {
            return false;
        }
    }
    std::vector<char> value;
    for (const std::string& name : wanted) {
        for (;;) {
            const ssize_t size = ::fgetxattr(from, name.c_str(), nullptr, 0);
            if (size < 0) return false;
            value.resize(static_cast<std::size_t>(size));
            const ssize_t got = ::fgetxattr(from, name.c_str(), value.data(), value.size());
            if (got >= 0) {
                value.resize(static_cast<std::size_t>(got));
                break;
            }
            if (errno != ERANGE) return false;
        }
        if (::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) return false;
    }
    return true;
}

// True when the temporary file now carries the old file's owner, group, extended attributes
// and mode, in that order: a change of owner clears the set-ID bits and an ACL sets group bits.
bool copy_identity(int from, const struct stat& old, int to) {
    if (injected_fault(Step::copy_identity) != 0) return false;
    struct stat now{};
    if (::fstat(to, &now) != 0) return false;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        ::fchown(to, old.st_uid, old.st_gid) != 0) {
        return false;  // only root, or the owner handing the file to one of its groups, may
    }
    if (!copy_attributes(from, to)) return false;
    if (::fchmod(to, old.st_mode & 07777) != 0 || ::fstat(to, &now) != 0) return false;
    // The system drops the set-group-ID bit silently for a caller outside the group.
    return now.st_uid == old.st_uid && now.st_gid == old.st_gid &&
           (now.st_mode & 07777) == (old.st_mode & 07777);
}

// A file mounted on its own (a bind mount of a single file) cannot be renamed over.
bool is_mount_point(int directory, int fd, const struct stat& file) {
    struct stat parent{};
    if (::fstat(directory, &parent) != 0 || parent.st_dev != file.st_dev) return true;
// statx() is declared from glibc 2.28 on; the wheels are built against glibc 2.17, where the
// kernel headers still define the flags. Without it a bind mount on the same file system is
// told by the rename refusing it (EBUSY), which falls back to the rewrite in place.
#if defined(STATX_MNT_ID) && defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 28)
    struct statx of_file{};
    struct statx of_parent{};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &of_file) == 0) {
        if ((of_file.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
            (of_file.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
            return true;
        }
        if (::statx(directory, "", AT_EMPTY_PATH, STATX_MNT_ID, &of_parent) == 0 &&
            (of_file.stx_mask & of_parent.stx_mask & STATX_MNT_ID) != 0 &&
            of_file.stx_mnt_id != of_parent.stx_mnt_id) {
            return true;
        }
    }
#else
    static_cast<void>(fd);
#endif
    return false;
}

struct Existing {
    int fd;
    const struct stat& status;
};

// Writes each piece at the next offset as it comes, and starts its writeback at once.
class FileWriter final : public Contents::Output {
public:
    FileWriter(int fd, std::uint64_t limit) : fd_(fd), limit_(limit) {}
    int write(std::span<const std::uint8_t> piece) override {
        // More than announced would pass the room allocated: refused like a short write.
        if (piece.size() > limit_ - offset_) return write_zero;
        if (const int fault = injected_fault(Step::write_piece); fault != 0) return fault;
        if (const int error = pwrite_all(fd_, offset_, piece); error != 0) return error;
        offset_ += piece.size();
        return 0;
    }
    std::uint64_t offset() const { return offset_; }

private:
    int fd_;
    std::uint64_t limit_;
    std::uint64_t offset_ = 0;
};

// Writes a complete new file beside the target and renames it into place, so that a reader, a
// crash or a full disk sees either the old contents or the new ones. For an existing file,
// returns `take_in_place` wherever the new file could not become that same file.
int create_by_rename(int directory, bool syncable, const std::string& name, const Contents& data,
                     const Existing* existing) {
    TempName temp(directory);
    UniqueFd fd;
    if (const int error = create_temp(directory, name, temp, fd); error != 0) {
        // A directory the caller may not write (or that is full) still holds a file that the
        // caller may rewrite.
        return existing != nullptr ? take_in_place : error;
    }
    if (const int error = injected_fault(Step::create_temp); error != 0) return error;
    if (existing != nullptr && !copy_identity(existing->fd, existing->status, fd.get())) {
        return take_in_place;
    }
    int error = 0;
    const std::uint64_t size = data.size();
#ifdef __linux__
    // All blocks at once, before any data: a full disk or the file-size limit strikes at once,
    // and the file is laid out in one piece rather than block by block as writeback finds it.
    while (size != 0 && ::fallocate(fd.get(), 0, 0, static_cast<off_t>(size)) != 0) {
        if (errno == EINTR) continue;
        if (errno != EOPNOTSUPP && errno != ENOSYS) error = errno;
        break;
    }
#endif
    // The pieces reach the disk while the later ones are made; the flush below waits only for
    // what is still on its way.
    FileWriter writer(fd.get(), size);
    if (error == 0) error = data.produce(writer);
    if (error == 0 && writer.offset() != size) error = write_zero;  // fewer than announced
    if (error == 0) error = injected_fault(Step::write);
    if (error == 0) error = injected_fault(Step::sync);
    if (error == 0) error = sync_data(fd.get());
    if (const int closed = fd.close(); error == 0) error = closed;
    if (error == 0) error = injected_fault(Step::rename);
    if (error != 0) return error;
    if (::renameat(directory, temp.name.c_str(), directory, name.c_str()) != 0) {
        // Refused for the target's sake (a sticky directory, a mount on the name): the file
        // can still be rewritten.
        const bool refused = errno == EPERM || errno == EACCES || errno == EBUSY;
        return existing != nullptr && refused ? take_in_place : errno;
    }
    temp.release();
    if (const int fault = injected_fault(Step::sync_directory); fault != 0) return fault;
    return sync_directory(directory, syncable);
}

class PosixInPlace final : public detail::InPlaceFile {
public:
    explicit PosixInPlace(int fd) : fd_(fd) {}
    int size(std::uint64_t& out) override {
        struct stat status{};
        if (::fstat(fd_, &status) != 0) return errno;
        out = static_cast<std::uint64_t>(status.st_size);
        return 0;
    }
    int read_at(std::uint64_t offset, std::span<std::uint8_t> out, std::size_t& got) override {
        got = 0;
        while (got < out.size()) {
            const ssize_t count =
                ::pread(fd_, out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
            if (count < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            if (count == 0) break;
            got += static_cast<std::size_t>(count);
        }
        return 0;
    }
    int reserve(std::uint64_t current, std::uint64_t length) override {
        if (length == 0) return 0;
#ifdef __linux__
        // Allocates whatever the range still lacks (holes included), lengthening the file with
        // zeros; the file-size limit applies to it like a write.
        for (;;) {
            if (::fallocate(fd_, 0, 0, static_cast<off_t>(length)) == 0) return 0;
            if (errno == EINTR) continue;
            if (errno != EOPNOTSUPP && errno != ENOSYS) return errno;
            break;
        }
#endif
        // No way to reserve room but to write: zeros after the old end.
        return detail::write_zeros(*this, current, length);
    }
    int write_at(std::uint64_t offset, std::span<const std::uint8_t> data) override {
        return pwrite_all(fd_, offset, data);
    }
    int set_length(std::uint64_t length) override {
        while (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
            if (errno != EINTR) return errno;
        }
        return 0;
    }
    int sync() override { return sync_data(fd_); }

private:
    int fd_;
};

// Devices and pipes have no contents to protect and must not be swapped for a regular file.
int write_into(int directory, const std::string& name, const Contents& data) {
    UniqueFd fd(::openat(directory, name.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY));
    if (!fd) return errno;
    class StreamWriter final : public Contents::Output {
    public:
        explicit StreamWriter(int fd) : fd_(fd) {}
        int write(std::span<const std::uint8_t> rest) override {
            while (!rest.empty()) {
                const ssize_t written =
                    ::write(fd_, rest.data(), std::min(rest.size(), write_chunk));
                if (written < 0) {
                    if (errno != EINTR) return errno;
                } else if (written == 0) {
                    return write_zero;
                } else {
                    rest = rest.subspan(static_cast<std::size_t>(written));
                }
            }
            return 0;
        }

    private:
        int fd_;
    };
    StreamWriter writer(fd.get());
    const int error = data.produce(writer);
    const int closed = fd.close();
    return error != 0 ? error : closed;
}

int replace(std::string path, const Contents& data) {
    Target target;
    if (const int error = resolve(std::move(path), target); error != 0) return error;
    if (target.exists && S_ISDIR(target.status.st_mode)) return EISDIR;

    bool syncable = false;
    if (const int error = open_directory(target.directory, syncable); error != 0) return error;
    const int directory = target.directory.get();
    const std::string& name = target.name;
    // A new file is always made by rename, so nobody ever sees it half written.
    if (!target.exists) return create_by_rename(directory, syncable, name, data, nullptr);
    if (!S_ISREG(target.status.st_mode)) return write_into(directory, name, data);

    // Opened as a direct open would, so a file the caller may not write stays protected and is
    // refused with the same error. O_NONBLOCK: never hang on a pipe put there meanwhile.
    constexpr int flags = O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
    bool readable = true;
    UniqueFd file(::openat(directory, name.c_str(), O_RDWR | flags));
    if (!file && errno == EACCES) {
        file.reset(::openat(directory, name.c_str(), O_WRONLY | flags));
        readable = false;
    }
    if (!file) return errno;
    struct stat status{};
    if (::fstat(file.get(), &status) != 0) return errno;
    if (!S_ISREG(status.st_mode)) return write_into(directory, name, data);

    // A new file takes the old one's place only where nothing tells them apart afterwards:
    // another name of the file would keep the old contents, and a mount on it cannot move.
    if (status.st_nlink == 1 && !is_mount_point(directory, file.get(), status)) {
        const Existing existing{file.get(), status};
        const int result = create_by_rename(directory, syncable, name, data, &existing);
        if (result != take_in_place) return result;
    }
    PosixInPlace in_place(file.get());
    return detail::rewrite_in_place(in_place, readable, data);
}

}  // namespace

std::optional<std::string> replace_file(std::string_view utf8_path,
                                        std::span<const std::uint8_t> data) {
    return replace_file(utf8_path, BytesContents(data));
}

std::optional<std::string> replace_file(std::string_view utf8_path, const Contents& contents) {
    if (utf8_path.find('\0') != std::string_view::npos) {
        return detail::simple_error_description("InvalidInput",
                                                "file name contained an unexpected NUL byte");
    }
    return detail::describe_result(replace(std::string(utf8_path), contents));
}

}  // namespace pyqelm::fileio
