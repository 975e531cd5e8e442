// What the parts of the POSIX file layer share: owned descriptors, the flushes, and the two
// ways of replacing a file that `replace` chooses between.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "fileio.hpp"

namespace pyqelm::fileio::posix {

// Not an error: the file keeps its identity only if rewritten in place.
inline constexpr int take_in_place = -2;
// Writes go out in pieces of this size, each handed to the disk as soon as it is in the page
// cache, so that the flush at the end finds most of the file written already.
inline constexpr std::size_t write_chunk = std::size_t{8} << 20;

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

// Where the final file lives: its directory (readable: it can be flushed) and its name there.
struct Place {
    UniqueFd directory;
    bool readable = false;
    std::string name;
};

// The file a save replaces, open for writing and locked.
struct Existing {
    int fd;
    bool readable;  // opened for reading too, so its old contents can be kept
    const struct stat& status;
};

// What happened, beyond the error: whether the new contents are in place already (a failure
// after that point must not be told as if the old file were intact).
struct Result {
    int error = 0;
    bool new_in_place = false;
    // The old contents could not be put back; the record beside the file holds them and puts
    // them back at the next open.
    bool old_in_record = false;
};

int pwrite_all(int fd, std::uint64_t offset, std::span<const std::uint8_t> data);
// The contents and what is needed to read them back (the length), not the times.
int sync_data(int fd);
// Makes a change of the directory's entries survive a power cut; a directory that cannot be
// read or flushed is the best the system offers, so that is no failure.
int sync_directory(int directory, bool readable);
// True when the new file `to` now carries the owner, group, extended attributes and mode of the
// old file `from` (whose status is `old`).
bool copy_identity(int from, const struct stat& old, int to);
// Exclusive, open-file-description lock held across a rewrite, so that savers take turns.
int lock_file(int fd);

// Writes a complete new file beside the target and moves it into place. Returns
// `take_in_place` (for an existing file) wherever the new file could not become that file.
Result create_by_rename(const Place& place, const Contents& data, const Existing* existing);
// Rewrites `existing` in place behind a record of its old contents beside it.
Result rewrite_journaled(const Place* place, const Existing& existing, const Contents& data);
// Devices and pipes: written straight through.
int write_into(int fd, const Contents& data);

}  // namespace pyqelm::fileio::posix
