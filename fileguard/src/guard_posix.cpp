// Finding and applying a record on POSIX systems, and the lock every saver holds.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "fileguard/journal.hpp"
#include "fileguard/linux_fcntl.hpp"

namespace fileguard {
namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

std::string proc_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

int read_all(int fd, std::uint64_t offset, std::span<std::uint8_t> out) {
    std::size_t got = 0;
    while (got < out.size()) {
        const ssize_t count =
            ::pread(fd, out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (count == 0) return EIO;  // shorter than its status said: changed under us
        got += static_cast<std::size_t>(count);
    }
    return 0;
}

int write_all(int fd, std::span<const std::uint8_t> data) {
    std::uint64_t offset = 0;
    while (!data.empty()) {
        const ssize_t count = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (count == 0) return EIO;
        offset += static_cast<std::uint64_t>(count);
        data = data.subspan(static_cast<std::size_t>(count));
    }
    return 0;
}

// Removing the record is the moment the rewrite (or its undoing) becomes final, so its removal
// must reach the disk; a directory that cannot be flushed is the best the system offers.
int remove_record(int directory, const std::string& name) {
    if (::unlinkat(directory, name.c_str(), 0) != 0 && errno != ENOENT) return errno;
    while (::fsync(directory) != 0) {
        if (errno == EINTR) continue;
        return errno == EINVAL || errno == EBADF || errno == ENOTSUP || errno == EOPNOTSUPP ? 0
                                                                                            : errno;
    }
    return 0;
}

// A record is applied only where its writer could have written the file anyway: its owner, the
// caller, root, or anyone when others may write the file. Anyone else's record is ignored, so
// that a name planted in a shared directory cannot write into the file.
bool trusted(const struct stat& record, const struct stat& file) {
    if (!S_ISREG(record.st_mode) || record.st_nlink != 1 || (record.st_mode & 022) != 0) {
        return false;
    }
    return record.st_uid == 0 || record.st_uid == file.st_uid || record.st_uid == ::geteuid() ||
           (file.st_mode & S_IWOTH) != 0;
}

}  // namespace

int lock(int fd) {
#ifdef F_OFD_SETLKW
    struct flock whole{};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLKW, &whole) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EINVAL) return errno;
        break;  // a kernel without locks of open file descriptions
    }
#endif
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

int final_location(int fd, int& directory, std::string& name, bool& readable_directory) {
    std::string path(4096, '\0');
    const ssize_t length = ::readlink(proc_path(fd).c_str(), path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size() || path[0] != '/') {
        return ENOENT;
    }
    path.resize(static_cast<std::size_t>(length));
    const std::size_t split = path.find_last_of('/');
    name = path.substr(split + 1);
    const std::string parent = split == 0 ? "/" : path.substr(0, split);
    Fd opened(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    readable_directory = static_cast<bool>(opened);
    if (!opened && errno == EACCES) {
        opened.reset(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (!opened || name.empty()) return ENOENT;
    struct stat entry{};
    struct stat file{};
    if (::fstatat(opened.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::fstat(fd, &file) != 0 || entry.st_dev != file.st_dev || entry.st_ino != file.st_ino) {
        return ENOENT;
    }
    directory = opened.release();
    return 0;
}

Recovery recover_open(int directory, const std::string& name, int fd) {
    const std::string record_name = journal_name(name);
    // O_NONBLOCK: a pipe planted under the record's name must not hang the caller.
    Fd record(::openat(directory, record_name.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!record) return {};
    struct stat of_record{};
    struct stat of_file{};
    if (::fstat(record.get(), &of_record) != 0 || ::fstat(fd, &of_file) != 0) {
        return {Outcome::failed, errno};
    }
    if (!trusted(of_record, of_file)) return {};
    // Judging a record reads the file; a caller that may only write it leaves the record to
    // the next one that may read it, who then finds this caller's save complete.
    const int access = ::fcntl(fd, F_GETFL);
    if (access < 0 || (access & O_ACCMODE) == O_WRONLY) return {};

    const auto size = static_cast<std::uint64_t>(of_record.st_size);
    // Not even a header: torn at its start. A length beyond any record's is not read at all.
    Decision decision;
    if (size >= header_size && size <= std::uint64_t{1} << 40) {
        std::unique_ptr<std::uint8_t[]> bytes;
        try {
            bytes = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(size));
        } catch (const std::bad_alloc&) {
            return {Outcome::failed, ENOMEM};
        }
        const std::span<std::uint8_t> whole(bytes.get(), static_cast<std::size_t>(size));
        if (const int error = read_all(record.get(), 0, whole); error != 0) {
            return {Outcome::failed, error};
        }
        const ReadAt read = [fd](std::uint64_t offset, std::span<std::uint8_t> into) {
            return read_all(fd, offset, into);
        };
        if (const int error = decide(whole, static_cast<std::uint64_t>(of_file.st_dev),
                                     static_cast<std::uint64_t>(of_file.st_ino),
                                     static_cast<std::uint64_t>(of_file.st_size), read, decision);
            error != 0) {
            return {Outcome::failed, error};
        }
        if (decision.put_back) {
            int error = write_all(fd, decision.old);
            while (error == 0 && ::ftruncate(fd, static_cast<off_t>(decision.old.size())) != 0) {
                if (errno != EINTR) error = errno;
            }
            while (error == 0 && ::fdatasync(fd) != 0) {
                if (errno != EINTR) error = errno;
            }
            if (error != 0) return {Outcome::failed, error};
        }
    }
    if (const int error = remove_record(directory, record_name); error != 0) {
        return {Outcome::failed, error};
    }
    return {decision.outcome, 0};
}

Recovery recover_path(const std::string& path) {
    Fd found(::open(path.c_str(), O_PATH | O_CLOEXEC));
    struct stat status{};
    if (!found || ::fstat(found.get(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
    int raw_directory = -1;
    std::string name;
    bool readable = false;
    if (final_location(found.get(), raw_directory, name, readable) != 0) return {};
    const Fd directory(raw_directory);
    struct stat record{};
    // The common case ends here: no record, and nothing was opened for writing.
    if (::fstatat(directory.get(), journal_name(name).c_str(), &record, AT_SYMLINK_NOFOLLOW) != 0 ||
        !trusted(record, status)) {
        return {};
    }
    // Reopened through the descriptor, so that it is the same file whatever the path says now.
    Fd file(::open(proc_path(found.get()).c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!file) return {Outcome::failed, errno};
    if (const int error = lock(file.get()); error != 0) return {Outcome::failed, error};
    return recover_open(directory.get(), name, file.get());
}

}  // namespace fileguard
