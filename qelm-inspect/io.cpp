// Whole-file reading and writing with the system's reason on failure, through C stdio so that
// the command builds wherever the protocol library does.
#include <cerrno>
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

bool read_file(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    bytes.clear();
    std::uint8_t chunk[1 << 16];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < sizeof chunk) break;
    }
    // A directory opens on some systems and fails only on reading.
    const bool failed = std::ferror(file) != 0;
    const int reason = errno;
    std::fclose(file);
    if (failed) {
        error = reason != 0 ? std::strerror(reason) : "read error";
        return false;
    }
    return true;
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
