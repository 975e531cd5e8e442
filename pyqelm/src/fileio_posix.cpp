// POSIX file layer: replaces a file by renaming a complete new one over it where that keeps the
// file what it was, and otherwise rewrites it in place behind a reservation and a record of the
// old contents. The kernel resolves the caller's path, with every check it makes for an open of
// its own, and a lock makes savers of one file take turns.
#ifdef __linux__
#include <linux/capability.h>
#include <sys/syscall.h>
#endif
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "fileguard/journal.hpp"
#include "fileio_posix.hpp"

namespace pyqelm::fileio {
namespace detail {
namespace {

// strerror_r comes in two shapes (XSI returns int, GNU returns the text); overloading on the
// result picks whichever one the C library declares.
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_text(const char* result, const char*) { return result; }

// The C library's text for `code`.
std::string message_of(int code) {
    char buffer[256] = {};
    const char* text = strerror_text(::strerror_r(code, buffer, sizeof buffer), buffer);
    return text != nullptr && *text != '\0' ? std::string(text)
                                            : "Unknown error " + std::to_string(code);
}

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
    return os_error_description(code, os_error_kind(code), message_of(code));
}

}  // namespace detail

namespace posix {
namespace {

// Not an error: the path changed while it was being opened; it is opened afresh.
constexpr int again = -3;
// Rounds through `again` before the file is taken as it was found: each one means another
// saver finished meanwhile.
constexpr int max_rounds = 1000;

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

// Attributes in the trusted namespace are listed only to callers with CAP_SYS_ADMIN; a new file
// made by anyone else could silently lack them, so such a caller rewrites in place.
bool sees_every_attribute() {
#ifdef __linux__
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective & CAP_TO_MASK(CAP_SYS_ADMIN)) != 0;
#else
    return true;
#endif
}

// A path with no file yet: the new file is made in the directory the kernel finds for the
// path's directory part.
Result create_new(const std::string& path, const Contents& data) {
    const std::size_t split = path.find_last_of('/') + 1;  // 0 when there is no slash
    Place place;
    place.name = path.substr(split);
    // "" names the directory itself: the empty path, or one that ends in a slash.
    if (place.name.empty()) return {split == 0 ? ENOENT : EISDIR};
    const std::string parent = split == 0 ? "." : path.substr(0, split);
    place.directory.reset(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    place.readable = static_cast<bool>(place.directory);
    if (!place.directory && errno == EACCES) {
        // Searchable but not readable: files can be made in it, only its flush is out of reach.
        place.directory.reset(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (!place.directory) return {errno};
    struct stat entry{};
    if (::fstatat(place.directory.get(), place.name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(entry.st_mode)) {
        // A dangling link: the kernel follows it, with its own checks, and makes the file it
        // names, which is then saved like any existing file.
        UniqueFd made(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666));
        if (!made) return {errno};
        return {again};
    }
    Result result = create_by_rename(place, data, nullptr);
    if (result.error == EEXIST) result.error = again;  // made by someone else meanwhile
    return result;
}

Result save_existing(const std::string& path, UniqueFd& file, bool readable, const Contents& data) {
    struct stat status{};
    if (::fstat(file.get(), &status) != 0) return {errno};
    if (!S_ISREG(status.st_mode)) {
        // Devices and pipes have no contents to protect and must not be swapped for a regular
        // file; they are written as a direct open for writing would.
        UniqueFd stream(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY));
        if (!stream) return {errno};
        const int error = write_into(stream.get(), data);
        const int closed = stream.close();
        return {error != 0 ? error : closed};
    }
    if (const int error = lock_file(file.get()); error != 0) return {error};
    // Taken after the lock: a rival saver may have put another file at the path meanwhile.
    struct stat now{};
    if (::stat(path.c_str(), &now) != 0 || now.st_dev != status.st_dev ||
        now.st_ino != status.st_ino) {
        return {again};
    }

    Place place;
    int raw_directory = -1;
    const bool placed =
        fileguard::final_location(file.get(), raw_directory, place.name, place.readable) == 0;
    if (placed) place.directory.reset(raw_directory);
    if (placed) {
        // An interrupted save of this file is undone before anything else.
        const fileguard::Recovery recovery =
            fileguard::recover_open(place.directory.get(), place.name, file.get());
        if (recovery.outcome == fileguard::Outcome::failed) return {recovery.error};
        if (::fstat(file.get(), &status) != 0) return {errno};
    }

    const Existing existing{file.get(), readable, status};
    // A new file takes the old one's place only where nothing tells them apart afterwards:
    // another name of the file would keep the old contents, a mount on it cannot move, and
    // attributes the caller cannot see would be lost.
    if (placed && status.st_nlink == 1 &&
        !is_mount_point(place.directory.get(), file.get(), status) && sees_every_attribute()) {
        const Result result = create_by_rename(place, data, &existing);
        if (result.error != take_in_place) return result;
    }
    return rewrite_journaled(placed ? &place : nullptr, existing, data);
}

Result replace(const std::string& path, const Contents& data) {
    for (int round = 0;; ++round) {
        // Opened as a direct open would: the kernel follows the links (refusing those a
        // protected directory forbids), and a file the caller may not write stays protected and
        // is refused with the same error. Without O_NONBLOCK, so that a file under a lease
        // waits for its holder to let go rather than failing.
        constexpr int flags = O_CLOEXEC | O_NOCTTY;
        bool readable = true;
        UniqueFd file(::open(path.c_str(), O_RDWR | flags));
        if (!file && errno == EACCES) {
            file.reset(::open(path.c_str(), O_WRONLY | flags));
            readable = false;
        }
        Result result;
        if (file) {
            result = save_existing(path, file, readable, data);
        } else if (errno == ENOENT) {
            result = create_new(path, data);
        } else {
            return {errno};
        }
        if (result.error != again) return result;
        if (round == max_rounds) return {EAGAIN};
    }
}

// What the caller hears: the error, and where the new contents are in place already, that too.
std::optional<std::string> describe(const Result& result) {
    if (result.error == 0 || (!result.new_in_place && !result.old_in_record)) {
        return detail::describe_result(result.error);
    }
    std::string text = result.error == detail::write_zero ? "failed to write whole buffer"
                                                          : detail::message_of(result.error);
    text += result.new_in_place
                ? " (the new contents are in place; the directory could not be flushed, so a "
                  "power loss may still bring back the previous file)"
                : " (the file may be partly rewritten; its previous contents are kept beside "
                  "it and are put back when it is next opened by save, qelmfile.load or "
                  "qelm-inspect, unless by then it holds the new contents whole)";
    if (result.error == detail::write_zero) {
        return detail::simple_error_description("WriteZero", text);
    }
    return detail::os_error_description(result.error, detail::os_error_kind(result.error), text);
}

}  // namespace
}  // namespace posix

std::optional<std::string> replace_file(std::string_view utf8_path,
                                        std::span<const std::uint8_t> data) {
    return replace_file(utf8_path, BytesContents(data));
}

std::optional<std::string> replace_file(std::string_view utf8_path, const Contents& contents) {
    if (utf8_path.find('\0') != std::string_view::npos) {
        return detail::simple_error_description("InvalidInput",
                                                "file name contained an unexpected NUL byte");
    }
    return posix::describe(posix::replace(std::string(utf8_path), contents));
}

}  // namespace pyqelm::fileio
