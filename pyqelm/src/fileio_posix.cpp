// POSIX file layer: writes a complete new file beside the target and renames it into place, so a
// reader, a crash or a full disk sees either the old protocol or the new one, never a torn mix.
#include "fileio.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

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

// Stands in for an errno value when write() accepts nothing, which has no errno of its own.
constexpr int write_zero = -1;
// The kernel's own limit on symbolic links in one lookup.
constexpr int max_link_hops = 40;
// Below the single-write limit of every system (some reject counts above INT_MAX).
constexpr std::size_t max_write_chunk = std::size_t{1} << 30;
// A component longer than this is refused by common file systems.
constexpr std::size_t max_name_length = 255;

struct Target {
    std::string path;  // the final file, after following symbolic links
    bool exists = false;
    struct stat status{};
};

int read_link(const std::string& path, std::string& out) {
    for (std::size_t size = 256;; size *= 2) {
        out.resize(size);
        const ssize_t length = ::readlink(path.c_str(), out.data(), size);
        if (length < 0) return errno;
        if (static_cast<std::size_t>(length) < size) {
            out.resize(static_cast<std::size_t>(length));
            return 0;
        }
    }
}

// Renaming over a symbolic link would replace the link itself, so the chain is followed by hand
// to the file a direct open would have written; a dangling link yields the file it names.
int resolve(std::string path, Target& target) {
    std::string link;
    for (int hops = 0;; ++hops) {
        struct stat status{};
        if (::lstat(path.c_str(), &status) != 0) {
            if (errno != ENOENT) return errno;
            target.path = std::move(path);
            target.exists = false;
            return 0;
        }
        if (!S_ISLNK(status.st_mode)) {
            target.path = std::move(path);
            target.exists = true;
            target.status = status;
            return 0;
        }
        if (hops == max_link_hops) return ELOOP;
        if (const int error = read_link(path, link); error != 0) return error;
        if (link.starts_with('/')) {
            path = link;
        } else {
            // Relative to the link's own directory; the kernel resolves "dir/../x" through the real
            // directory, as it would for the link.
            path.erase(path.find_last_of('/') + 1);  // npos + 1 == 0 clears a bare name
            path += link;
        }
    }
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

// A fresh ".<name>.<hex>.tmp" beside the target. The name is shortened so the temporary file
// fits wherever the target does.
int create_temp(const std::string& directory, std::string_view name, std::string& temp_path,
                int& fd) {
    constexpr std::size_t overhead = 1 + 1 + 16 + 4;
    std::size_t keep = std::min(name.size(), max_name_length - overhead);
    // Cut between characters, not inside a UTF-8 sequence.
    while (keep > 0 && keep < name.size() &&
           (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
        --keep;
    }
    for (int attempt = 0;; ++attempt) {
        static constexpr char hex[] = "0123456789abcdef";
        std::string suffix(16, '0');
        std::uint64_t bits = random_suffix();
        for (char& digit : suffix) {
            digit = hex[bits & 0xF];
            bits >>= 4;
        }
        temp_path = directory;
        temp_path += '.';
        temp_path += name.substr(0, keep);
        temp_path += '.';
        temp_path += suffix;
        temp_path += ".tmp";
        // Mode 0666 lets the umask (or a default ACL) decide, as for any newly created file.
        fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd >= 0) return 0;
        if (errno == EINTR || (errno == EEXIST && attempt < 100)) continue;
        return errno;
    }
}

int write_all(int fd, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), std::min(data.size(), max_write_chunk));
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return write_zero;
        data = data.subspan(static_cast<std::size_t>(written));
    }
    return 0;
}

int sync_fd(int fd) {
#ifdef F_FULLFSYNC
    // Plain fsync() stops at the drive's cache on systems that offer this.
    if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// Makes the rename itself survive a power cut. Where the directory cannot be opened for reading
// or the file system cannot sync directories, the file is in place already and that is the best
// this system offers, so it is not a failure.
int sync_directory(const std::string& directory) {
    const int fd =
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno == EACCES ? 0 : errno;
    int error = sync_fd(fd);
    ::close(fd);
    if (error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP) error = 0;
    return error;
}

// Devices and pipes have no contents to protect and must not be swapped for a regular file.
int write_in_place(const std::string& path, std::span<const std::uint8_t> data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno;
    int error = write_all(fd, data);
    if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
    return error;
}

int replace(std::string path, std::span<const std::uint8_t> data) {
    Target target;
    if (const int error = resolve(std::move(path), target); error != 0) return error;

    const std::size_t split = target.path.find_last_of('/') + 1;  // 0 when there is no slash
    const std::string directory = target.path.substr(0, split);
    const std::string_view name = std::string_view(target.path).substr(split);
    if (name.empty()) return target.path.empty() ? ENOENT : EISDIR;

    if (target.exists) {
        if (S_ISDIR(target.status.st_mode)) return EISDIR;
        // A file the caller may not write stays protected, as with a direct open.
        if (::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0) return errno;
        if (!S_ISREG(target.status.st_mode)) return write_in_place(target.path, data);
    }

    std::string temp_path;
    int fd = -1;
    if (const int error = create_temp(directory, name, temp_path, fd); error != 0) return error;

    int error = 0;
    if (target.exists) {
        // Ownership first: changing it clears the set-user-ID and set-group-ID bits.
        if (::fchown(fd, target.status.st_uid, target.status.st_gid) != 0) {
            // Only root (or a member of the group) may; the file then belongs to the caller, like
            // any file the caller creates.
        }
        if (::fchmod(fd, target.status.st_mode & 07777) != 0) error = errno;
    }
    if (error == 0) error = write_all(fd, data);
    if (error == 0) error = sync_fd(fd);
    // A close error can carry a deferred write error of a network file system; EINTR still frees
    // the descriptor and the data is synced already.
    if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
    if (error == 0 && ::rename(temp_path.c_str(), target.path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temp_path.c_str());
        return error;
    }
    return sync_directory(directory);
}

}  // namespace

std::optional<std::string> replace_file(std::string_view utf8_path,
                                        std::span<const std::uint8_t> data) {
    if (utf8_path.find('\0') != std::string_view::npos) {
        return detail::simple_error_description("InvalidInput",
                                                "file name contained an unexpected NUL byte");
    }
    const int error = replace(std::string(utf8_path), data);
    if (error == 0) return std::nullopt;
    if (error == write_zero) {
        return detail::simple_error_description("WriteZero", "failed to write whole buffer");
    }
    return detail::describe_os_error(error);
}

}  // namespace pyqelm::fileio
