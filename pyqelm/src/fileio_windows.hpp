// What the parts of the Windows file layer share: owned handles, positioned writes, and the
// rewrite in place behind a record.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "fileio.hpp"
#include "protocols/win32.hpp"

namespace pyqelm::fileio::windows {

// Pieces of a read or write; one call takes at most 4 GB.
inline constexpr std::size_t io_chunk = std::size_t{8} << 20;
inline constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline int last_error() { return static_cast<int>(::GetLastError()); }

// Owns one handle; every path out of a function closes it.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (*this) ::CloseHandle(handle_);
        handle_ = handle;
    }
    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    // Closes now and reports a failure (a deferred write error of a network file system).
    int close() {
        const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
        return ::CloseHandle(handle) ? 0 : last_error();
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Where the file lives: its folder as the system names it (the extended form) and its name
// there; empty where that could not be learnt, and then no record is made.
struct Place {
    std::wstring directory;
    std::wstring name;
};

int write_all(HANDLE file, std::uint64_t offset, std::span<const std::uint8_t> data);
// Rewrites the open, locked `file` in place, behind a record of its old contents beside it
// where `place` is known and the folder takes a new file. `old_in_record` tells a failure
// that left the old contents in that record only.
int rewrite_journaled(HANDLE file, bool readable, const Place& place,
                      std::span<const std::uint8_t> data, bool& old_in_record);

}  // namespace pyqelm::fileio::windows
