// The new file of a replacing save: made where nobody else can open it, given the old file's
// identity, written, flushed and moved into place; and the temporary files of savers that died
// removed.
#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

#include "fileguard/linux_fcntl.hpp"
#include "fileio_posix.hpp"

namespace pyqelm::fileio::posix {
namespace {

using detail::injected_fault;
using detail::Step;
using detail::write_zero;

// A component longer than this is refused by common file systems.
constexpr std::size_t max_name_length = 255;
constexpr std::size_t temp_overhead = 1 + 1 + 8 + 4;  // "." name "." 8 hex ".tmp"

std::string proc_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Without waiting: a temporary file's lock tells a live saver from a dead one.
bool try_lock(int fd) {
#ifdef F_OFD_SETLK
    struct flock whole{};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &whole) == 0) return true;
    if (errno != EINVAL) return false;
#endif
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

std::size_t kept_length(std::string_view name) {
    std::size_t keep = std::min(name.size(), max_name_length - temp_overhead);
    // Cut between characters, not inside a UTF-8 sequence.
    while (keep > 0 && keep < name.size() &&
           (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
        --keep;
    }
    return keep;
}

std::uint64_t random_suffix() {
    static std::atomic<std::uint64_t> counter{0};
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::uint64_t x = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
                            static_cast<std::uint64_t>(now.tv_nsec);
    return detail::temp_name_bits(x, static_cast<std::uint64_t>(::getpid()),
                                  counter.fetch_add(1, std::memory_order_relaxed) + 1);
}

// A fresh ".<name>.<8 hex digits>.tmp", 14 bytes longer than the name (shortened near the
// file system's limit on a name).
std::string temp_name(std::string_view name) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = ".";
    out += name.substr(0, kept_length(name));
    out += '.';
    std::uint64_t bits = random_suffix();
    for (int i = 0; i < 8; ++i, bits >>= 4) out += hex[bits & 0xF];
    out += ".tmp";
    return out;
}

bool is_temp_of(std::string_view entry, std::string_view name) {
    const std::size_t keep = kept_length(name);
    if (entry.size() != keep + temp_overhead || !entry.starts_with('.') ||
        entry.substr(1, keep) != name.substr(0, keep) || entry[1 + keep] != '.' ||
        !entry.ends_with(".tmp")) {
        return false;
    }
    return std::all_of(entry.begin() + static_cast<std::ptrdiff_t>(keep + 2), entry.end() - 4,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A saver holds the lock of its temporary file from before the file has a name until it is
// renamed, so one whose lock can be taken was left by a saver that no longer runs.
void remove_stale_temps(const Place& place) {
    if (!place.readable) return;
    const int listing = ::openat(place.directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    DIR* entries = ::fdopendir(listing);
    if (entries == nullptr) {
        ::close(listing);
        return;
    }
    std::vector<std::string> candidates;
    while (const dirent* entry = ::readdir(entries)) {
        if (is_temp_of(entry->d_name, place.name)) candidates.emplace_back(entry->d_name);
    }
    ::closedir(entries);
    for (const std::string& candidate : candidates) {
        struct stat named{};
        if (::fstatat(place.directory.get(), candidate.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(named.st_mode)) {
            continue;
        }
        // O_NONBLOCK: the entry may have become a pipe since it was looked at.
        UniqueFd fd(::openat(place.directory.get(), candidate.c_str(),
                             O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        struct stat opened{};
        if (!fd || ::fstat(fd.get(), &opened) != 0 || opened.st_ino != named.st_ino ||
            opened.st_dev != named.st_dev || !try_lock(fd.get())) {
            continue;
        }
        ::unlinkat(place.directory.get(), candidate.c_str(), 0);
    }
}

// The mode a newly created file gets: 0666 less the umask, read without changing it.
mode_t new_file_mode() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("Umask:")) {
            return static_cast<mode_t>(0666 & ~std::stoul(line.substr(6), nullptr, 8));
        }
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return 0666 & ~mask;
}

// The new file: without a name while it is written where the file system allows that, so that
// nobody can open it and a killed save leaves nothing; else a name only the saver may open.
class Temp {
public:
    explicit Temp(int directory) : directory_(directory) {}
    Temp(const Temp&) = delete;
    Temp& operator=(const Temp&) = delete;
    ~Temp() {
        if (!name_.empty()) ::unlinkat(directory_, name_.c_str(), 0);
    }

    int create(std::string_view target) {
#ifdef O_TMPFILE
        // Mode 0666: the umask (or a default ACL) decides, as for any new file; without a
        // name the mode admits nobody.
        fd_.reset(::openat(directory_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
        if (fd_) {
            try_lock(fd_.get());
            return 0;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
            return errno;
        }
#endif
        for (int attempt = 0;; ++attempt) {
            std::string name = temp_name(target);
            fd_.reset(::openat(directory_, name.c_str(),
                               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                               0600));
            if (fd_) {
                name_ = std::move(name);
                if (try_lock(fd_.get())) return 0;
                // Someone cleaning up took it for a dead saver's and removes it: another name.
                ::unlinkat(directory_, name_.c_str(), 0);
                name_.clear();
                continue;
            }
            if (errno == EINTR || (errno == EEXIST && attempt < 100)) continue;
            return errno;
        }
    }
    int fd() const { return fd_.get(); }
    bool named() const { return !name_.empty(); }

    // Gives the file the name `target`, which must not exist.
    int link_as(const std::string& target) {
        if (named()) {
            if (::linkat(directory_, name_.c_str(), directory_, target.c_str(), 0) != 0) {
                return errno;
            }
            ::unlinkat(directory_, name_.c_str(), 0);
            name_.clear();
            return 0;
        }
        // The direct form needs a capability most callers lack; the /proc form does not.
        if (::linkat(fd_.get(), "", directory_, target.c_str(), AT_EMPTY_PATH) == 0) return 0;
        if (errno == EEXIST) return errno;
        if (::linkat(AT_FDCWD, proc_path(fd_.get()).c_str(), directory_, target.c_str(),
                     AT_SYMLINK_FOLLOW) == 0) {
            return 0;
        }
        return errno;
    }

    // Moves the file over `target`, which exists.
    int rename_over(const std::string& target) {
        if (!named()) {
            for (int attempt = 0;; ++attempt) {
                std::string name = temp_name(target);
                const int error = link_as(name);
                if (error == 0) {
                    name_ = std::move(name);
                    break;
                }
                if (error != EEXIST || attempt == 100) return error;
            }
        }
        if (const int fault = injected_fault(Step::named); fault != 0) return fault;
        if (::renameat(directory_, name_.c_str(), directory_, target.c_str()) != 0) return errno;
        name_.clear();
        return 0;
    }

private:
    int directory_;
    UniqueFd fd_;
    std::string name_;
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

}  // namespace

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

int sync_directory(int directory, bool readable) {
    if (!readable) return 0;
    while (::fsync(directory) != 0) {
        if (errno == EINTR) continue;
        return errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP || errno == EBADF ? 0
                                                                                            : errno;
    }
    return 0;
}

Result create_by_rename(const Place& place, const Contents& data, const Existing* existing) {
    const int directory = place.directory.get();
    remove_stale_temps(place);
    Temp temp(directory);
    if (const int error = temp.create(place.name); error != 0) {
        // A directory the caller may not write (or that is full) still holds a file that the
        // caller may rewrite.
        return {existing != nullptr ? take_in_place : error};
    }
    if (const int error = injected_fault(Step::create_temp); error != 0) return {error};
    if (existing != nullptr && !copy_identity(existing->fd, existing->status, temp.fd())) {
        return {take_in_place};
    }
    int error = 0;
    const std::uint64_t size = data.size();
#ifdef __linux__
    // All blocks at once, before any data: a full disk or the file-size limit strikes at once,
    // and the file is laid out in one piece rather than block by block as writeback finds it.
    while (size != 0 && ::fallocate(temp.fd(), 0, 0, static_cast<off_t>(size)) != 0) {
        if (errno == EINTR) continue;
        if (errno != EOPNOTSUPP && errno != ENOSYS) error = errno;
        break;
    }
#endif
    // The pieces reach the disk while the later ones are made; the flush below waits only for
    // what is still on its way.
    FileWriter writer(temp.fd(), size);
    if (error == 0) error = data.produce(writer);
    if (error == 0 && writer.offset() != size) error = write_zero;  // fewer than announced
    if (error == 0) error = injected_fault(Step::write);
    if (error == 0) error = injected_fault(Step::sync);
    if (error == 0) error = sync_data(temp.fd());
    // A second descriptor keeps the lock while this one is closed, which reports a deferred
    // write error of a network file system before the file takes the old one's place.
    if (error == 0) {
        UniqueFd other(::fcntl(temp.fd(), F_DUPFD_CLOEXEC, 0));
        if (!other) error = errno;
        if (error == 0) error = other.close();
    }
    // A named temporary file was made 0600; a new file gets what creating it would give.
    if (error == 0 && existing == nullptr && temp.named() &&
        ::fchmod(temp.fd(), new_file_mode()) != 0) {
        error = errno;
    }
    if (error == 0) error = injected_fault(Step::rename);
    if (error != 0) return {error};
    if (existing == nullptr) {
        // Never over a file that appeared meanwhile: EEXIST sends the caller round again.
        if (const int linked = temp.link_as(place.name); linked != 0) return {linked};
    } else if (const int renamed = temp.rename_over(place.name); renamed != 0) {
        // Refused for the target's sake (a sticky directory, a mount on the name): the file
        // can still be rewritten.
        const bool refused = renamed == EPERM || renamed == EACCES || renamed == EBUSY;
        return {refused ? take_in_place : renamed};
    }
    if (const int fault = injected_fault(Step::sync_directory); fault != 0) return {fault, true};
    return {sync_directory(directory, place.readable), true};
}

}  // namespace pyqelm::fileio::posix
