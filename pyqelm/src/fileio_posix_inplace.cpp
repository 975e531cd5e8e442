// The rewrite in place on POSIX: the old contents go to a flushed record beside the file before
// its first byte changes, so that a crash leaves either contents whole to whoever opens it next.
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "fileguard/journal.hpp"
#include "fileio_posix.hpp"

namespace pyqelm::fileio::posix {
namespace {

using detail::injected_fault;
using detail::Step;
using detail::write_zero;

class PosixInPlace final : public detail::InPlaceFile {
public:
    PosixInPlace(const Place* place, const Existing& file) : place_(place), file_(file) {}
    PosixInPlace(const PosixInPlace&) = delete;
    PosixInPlace& operator=(const PosixInPlace&) = delete;
    // A record still there (a failure that could not put the old contents back) stays: it
    // puts them back at the next open.
    ~PosixInPlace() = default;

    int size(std::uint64_t& out) override {
        struct stat status{};
        if (::fstat(fd(), &status) != 0) return errno;
        out = static_cast<std::uint64_t>(status.st_size);
        return 0;
    }
    int read_at(std::uint64_t offset, std::span<std::uint8_t> out, std::size_t& got) override {
        got = 0;
        while (got < out.size()) {
            const ssize_t count =
                ::pread(fd(), out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
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
            if (::fallocate(fd(), 0, 0, static_cast<off_t>(length)) == 0) return 0;
            if (errno == EINTR) continue;
            if (errno != EOPNOTSUPP && errno != ENOSYS) return errno;
            break;
        }
#endif
        // No way to reserve room but to write: zeros after the old end.
        return detail::write_zeros(*this, current, length);
    }
    int write_at(std::uint64_t offset, std::span<const std::uint8_t> data) override {
        return pwrite_all(fd(), offset, data);
    }
    int set_length(std::uint64_t length) override {
        while (::ftruncate(fd(), static_cast<off_t>(length)) != 0) {
            if (errno != EINTR) return errno;
        }
        return 0;
    }
    int sync() override { return sync_data(fd()); }

    // Where no record can be made beside the file (a directory the caller may not write, a
    // file whose directory is unknown), the file is rewritten behind the copy in memory only.
    bool keeps_record() const override { return place_ != nullptr; }

    int keep_old(std::span<const std::uint8_t> old, std::uint64_t new_size,
                 std::span<const std::uint64_t> new_sums) override {
        if (place_ == nullptr) return 0;
        const int directory = place_->directory.get();
        const std::string name = fileguard::journal_name(place_->name);
        if (const int fault = injected_fault(Step::journal_write); fault != 0) return fault;
        for (int attempt = 0;; ++attempt) {
            record_.reset(::openat(directory, name.c_str(),
                                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                                   0600));
            if (record_) break;
            if (errno == EACCES || errno == EPERM || errno == EROFS) return 0;
            // Under the lock, after recovery: what is left is a record not to be trusted (of
            // another user); it goes if it may, else the save cannot be guarded.
            if (errno != EEXIST) return errno;
            if (attempt > 0 || ::unlinkat(directory, name.c_str(), 0) != 0) return EEXIST;
        }
        record_name_ = name;
        const std::vector<std::uint8_t> sums = fileguard::encode_sums(new_sums);
        fileguard::Header header;
        header.device = static_cast<std::uint64_t>(file_.status.st_dev);
        header.inode = static_cast<std::uint64_t>(file_.status.st_ino);
        header.old_size = old.size();
        header.checksum = fileguard::body_checksum(old, sums);
        header.new_size = new_size;
        const auto head = fileguard::encode_header(header);
        int error = write_record(head, old, sums);
        if (error == 0) error = injected_fault(Step::journal_sync);
        if (error == 0) error = sync_data(record_.get());
        if (error == 0) error = sync_directory(directory, place_->readable);
        if (error != 0) drop_record();
        return error;
    }

    int release_old() override {
        if (record_name_.empty()) return 0;
        if (const int fault = injected_fault(Step::journal_remove); fault != 0) return fault;
        if (::unlinkat(place_->directory.get(), record_name_.c_str(), 0) != 0) return errno;
        record_name_.clear();
        record_.reset();
        // The removal need not reach the disk before the save returns: the file is flushed
        // whole (new, or old put back), so a record that a power loss brings back finds it so
        // and is only removed again. That saves a flush of the directory on every save.
        return 0;
    }

    bool holds_record() const { return !record_name_.empty(); }

private:
    int fd() const { return file_.fd; }
    // The old contents go out in pieces whose writeback starts at once (see pwrite_all), so
    // that the flush after them finds most of the record on its way to the disk already.
    int write_record(std::span<const std::uint8_t> head, std::span<const std::uint8_t> old,
                     std::span<const std::uint8_t> sums) {
        int error = pwrite_all(record_.get(), 0, head);
        if (error == 0) error = pwrite_all(record_.get(), head.size(), old);
        if (error == 0) error = pwrite_all(record_.get(), head.size() + old.size(), sums);
        return error;
    }
    void drop_record() {
        ::unlinkat(place_->directory.get(), record_name_.c_str(), 0);
        record_name_.clear();
        record_.reset();
    }

    const Place* place_;
    const Existing& file_;
    UniqueFd record_;
    std::string record_name_;
};

}  // namespace

Result rewrite_journaled(const Place* place, const Existing& existing, const Contents& data) {
    PosixInPlace in_place(place, existing);
    const int error = detail::rewrite_in_place(in_place, existing.readable, data);
    return {error, false, error != 0 && in_place.holds_record()};
}

int write_into(int fd, const Contents& data) {
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
    StreamWriter writer(fd);
    return data.produce(writer);
}

int lock_file(int fd) { return fileguard::lock(fd); }

}  // namespace pyqelm::fileio::posix
