// File reading and writing with the system's reason on failure, through C stdio (and one status
// call for the size) so that the command builds wherever the protocol library does.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "inspect.hpp"

namespace inspect {

namespace {

// The size of an open regular file, or -1 for pipes, devices and anything else whose size
// says nothing about what a read will deliver.
long long regular_file_size(std::FILE* file) {
#ifdef _WIN32
    struct _stat64 status;
    if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) return -1;
#else
    struct stat status;
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
#endif
    return static_cast<long long>(status.st_size);
}

}  // namespace

ReadStatus read_file(const std::string& path, protocols::ByteVector& bytes,
                     protocols::DecodeError& refused, std::string& error) {
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return ReadStatus::failed;
    }
    // Files in /proc report no size although they have data: read as streams.
    const long long size = regular_file_size(file);
    const std::size_t file_size =
        size > 0 ? static_cast<std::size_t>(size) : protocols::unknown_file_size;
    bool failed = false;
    int reason = 0;
    const auto read = [&](std::uint8_t* into, std::size_t room) -> std::size_t {
        if (failed) return 0;
        errno = 0;
        const std::size_t got = std::fread(into, 1, room, file);
        // A directory opens on some systems and fails only on reading.
        if (got < room && std::ferror(file) != 0) {
            failed = true;
            reason = errno;
        }
        return got;
    };
    std::optional<protocols::DecodeError> outcome = protocols::read_record(bytes, file_size, read);
    std::fclose(file);
    if (failed) {
        error = reason != 0 ? std::strerror(reason) : "read error";
        return ReadStatus::failed;
    }
    if (outcome) {
        refused = std::move(*outcome);
        return ReadStatus::refused;
    }
    return ReadStatus::ok;
}

bool write_file(const std::string& path, std::string_view data, std::string& error) {
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    const int reason = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        const int why = !written ? reason : errno;
        error = why != 0 ? std::strerror(why) : "write error";
        return false;
    }
    return true;
}

bool write_stdout(std::string_view data) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);  // "\n" stays one byte, as in the text form
#endif
    const bool written = std::fwrite(data.data(), 1, data.size(), stdout) == data.size();
    return std::fflush(stdout) == 0 && written;
}

}  // namespace inspect
