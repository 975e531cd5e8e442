// Whole-file reading and writing with the system's reason on failure, through C stdio (and one
// status call for the size) so that the command builds wherever the protocol library does.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

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

ReadStatus read_file(const std::string& path, std::uint64_t max_size,
                     std::vector<std::uint8_t>& bytes, std::string& error) {
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return ReadStatus::failed;
    }
    const std::uint64_t limit = max_size + 1;  // one byte more than fits tells "too large"
    const long long size = regular_file_size(file);
    if (size >= 0 && static_cast<std::uint64_t>(size) > max_size) {
        std::fclose(file);
        error = std::to_string(size) + " bytes; a protocol file has at most " +
                std::to_string(max_size);
        return ReadStatus::too_large;
    }
    // A regular file is read into room for its size and one byte (to see the end, or that it
    // grew); anything else grows by doubling, never past the limit.
    std::size_t room = size >= 0 ? static_cast<std::size_t>(size) + 1 : std::size_t{1} << 16;
    room = static_cast<std::size_t>(std::min<std::uint64_t>(room, limit));
    bytes.clear();
    std::size_t got = 0;
    for (;;) {
        bytes.resize(room);
        const std::size_t wanted = room - got;
        const std::size_t read = std::fread(bytes.data() + got, 1, wanted, file);
        got += read;
        if (read < wanted || got == limit) break;
        room = static_cast<std::size_t>(
            std::min<std::uint64_t>(2 * static_cast<std::uint64_t>(room), limit));
    }
    bytes.resize(got);
    // A directory opens on some systems and fails only on reading.
    const bool failed = std::ferror(file) != 0;
    const int reason = errno;
    std::fclose(file);
    if (failed) {
        error = reason != 0 ? std::strerror(reason) : "read error";
        return ReadStatus::failed;
    }
    if (got == limit) {
        bytes.clear();
        bytes.shrink_to_fit();
        error = "more than the " + std::to_string(max_size) + " bytes a protocol file can have";
        return ReadStatus::too_large;
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
