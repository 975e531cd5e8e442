// Windows file layer: writes a complete new file beside the target and moves it into place, so a
// failed save leaves the previous protocol file as it was.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include "fileio.hpp"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstddef>

namespace pyqelm::fileio {
namespace detail {

std::string_view os_error_kind(int code) {
    // Numeric, because older SDK headers lack some of the names.
    switch (code) {
        case 2:  // ERROR_FILE_NOT_FOUND
        case 3:  // ERROR_PATH_NOT_FOUND
            return "NotFound";
        case 5: return "PermissionDenied";  // ERROR_ACCESS_DENIED
        case 8:                             // ERROR_NOT_ENOUGH_MEMORY
        case 14:                            // ERROR_OUTOFMEMORY
            return "OutOfMemory";
        case 17: return "CrossesDevices";      // ERROR_NOT_SAME_DEVICE
        case 19: return "ReadOnlyFilesystem";  // ERROR_WRITE_PROTECT
        case 39:                               // ERROR_HANDLE_DISK_FULL
        case 112:                              // ERROR_DISK_FULL
            return "StorageFull";
        case 80:   // ERROR_FILE_EXISTS
        case 183:  // ERROR_ALREADY_EXISTS
            return "AlreadyExists";
        case 87: return "InvalidInput";  // ERROR_INVALID_PARAMETER
        case 109:                        // ERROR_BROKEN_PIPE
        case 232:                        // ERROR_NO_DATA
            return "BrokenPipe";
        case 120: return "Unsupported";  // ERROR_CALL_NOT_IMPLEMENTED
        case 123:                        // ERROR_INVALID_NAME
        case 161:                        // ERROR_BAD_PATHNAME
        case 206:                        // ERROR_FILENAME_EXCED_RANGE
            return "InvalidFilename";
        case 121:   // ERROR_SEM_TIMEOUT
        case 258:   // WAIT_TIMEOUT
        case 1460:  // ERROR_TIMEOUT
            return "TimedOut";
        case 132: return "NotSeekable";        // ERROR_SEEK_ON_DEVICE
        case 145: return "DirectoryNotEmpty";  // ERROR_DIR_NOT_EMPTY
        case 170: return "ResourceBusy";       // ERROR_BUSY
        case 223: return "FileTooLarge";       // ERROR_FILE_TOO_LARGE
        case 267: return "NotADirectory";      // ERROR_DIRECTORY
        case 336: return "IsADirectory";       // ERROR_DIRECTORY_NOT_SUPPORTED
        case 1131: return "Deadlock";          // ERROR_POSSIBLE_DEADLOCK
        case 1142: return "TooManyLinks";      // ERROR_TOO_MANY_LINKS
        case 1295: return "QuotaExceeded";     // ERROR_DISK_QUOTA_EXCEEDED
        case 1921: return "FilesystemLoop";    // ERROR_CANT_RESOLVE_FILENAME
        default: return "Uncategorized";
    }
}

std::string describe_os_error(int code, const wchar_t* text, std::size_t length,
                              unsigned long lookup_error) {
    std::string message;
    if (text == nullptr) {
        message = "OS Error " + std::to_string(code) + " (FormatMessageW() returned error " +
                  std::to_string(lookup_error) + ")";
    } else {
        std::u16string_view view(reinterpret_cast<const char16_t*>(text), length);
        // The system texts end in a line break.
        while (!view.empty() &&
               (view.back() == u' ' || (view.back() >= u'\t' && view.back() <= u'\r'))) {
            view.remove_suffix(1);
        }
        if (auto utf8 = utf16_to_utf8(view)) {
            message = std::move(*utf8);
        } else {
            message =
                "OS Error " + std::to_string(code) + " (FormatMessageW() returned invalid UTF-16)";
        }
    }
    return os_error_description(code, os_error_kind(code), message);
}

std::string describe_os_error(int code) {
    wchar_t buffer[2048];
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(code), 0, buffer, 2048, nullptr);
    if (length == 0) return describe_os_error(code, nullptr, 0, ::GetLastError());
    return describe_os_error(code, buffer, length, 0);
}

std::wstring path_for_system(std::wstring path) {
    // Already in a form that bypasses the classic parsing ("\\?\" or "\\.\").
    if (path.size() >= 4 && path[0] == L'\\' && path[1] == L'\\' &&
        (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\') {
        return path;
    }
    // The classic limit applies to the full path, with the current directory put in front of a
    // relative one. The extended form is taken literally: it must be absolute, with backslashes
    // and without "." or ".." components, which is what the full-path lookup gives.
    std::wstring full(std::max<std::size_t>(path.size(), MAX_PATH) + MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) return path;  // the open reports what is wrong with it
        if (length < full.size()) {
            full.resize(length);
            break;
        }
        full.resize(length);
    }
    // MAX_PATH counts the terminating NUL. Below it the path goes as given, so that short paths
    // keep every rule of the classic form.
    if (full.size() < MAX_PATH) return path;
    if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\') {
        return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\... names a share
    }
    return L"\\\\?\\" + full;
}

}  // namespace detail

namespace {

std::optional<std::string> os_failure(DWORD code) {
    return detail::describe_os_error(static_cast<int>(code));
}

std::wstring widen(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int size = static_cast<int>(utf8.size());  // the caller bounds the length
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, out.data(), length);
    return out;
}

std::wstring temp_suffix() {
    static std::atomic<std::uint64_t> counter{0};
    LARGE_INTEGER ticks{};
    ::QueryPerformanceCounter(&ticks);
    std::uint64_t x = detail::temp_name_bits(static_cast<std::uint64_t>(ticks.QuadPart),
                                             static_cast<std::uint64_t>(::GetCurrentProcessId()),
                                             counter.fetch_add(1, std::memory_order_relaxed) + 1);
    std::wstring hex(16, L'0');
    for (wchar_t& digit : hex) {
        digit = L"0123456789abcdef"[x & 0xF];
        x >>= 4;
    }
    return hex;
}

}  // namespace

std::optional<std::string> replace_file(std::string_view utf8_path,
                                        std::span<const std::uint8_t> data) {
    if (utf8_path.find('\0') != std::string_view::npos) {
        return detail::simple_error_description("InvalidInput",
                                                "strings passed to WinAPI cannot contain NULs");
    }
    // No path of the system is this long; it also keeps the length within an int.
    if (utf8_path.size() > 3 * 32767) return os_failure(ERROR_FILENAME_EXCED_RANGE);
    std::wstring target = widen(utf8_path);

    // Learn about an existing target the way a direct open would see it: through links, so the
    // file a link leads to is replaced rather than the link.
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    const HANDLE probe = ::CreateFileW(detail::path_for_system(target).c_str(), 0,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) return os_failure(error);
    } else {
        BY_HANDLE_FILE_INFORMATION info{};
        DWORD error = 0;
        if (!::GetFileInformationByHandle(probe, &info)) {
            error = ::GetLastError();
        } else if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
            error = ERROR_ACCESS_DENIED;  // what opening it for writing reports
        } else {
            // Hidden, system and archive marks carry over to the new file.
            attributes = info.dwFileAttributes &
                         (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
            if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
            std::wstring final_path(MAX_PATH, L'\0');
            for (;;) {
                const DWORD length =
                    ::GetFinalPathNameByHandleW(probe, final_path.data(),
                                                static_cast<DWORD>(final_path.size()),
                                                FILE_NAME_NORMALIZED);
                if (length == 0) break;  // no drive-letter name: keep the path as given
                if (length < final_path.size()) {
                    final_path.resize(length);
                    target = std::move(final_path);
                    break;
                }
                final_path.resize(length);
            }
        }
        ::CloseHandle(probe);
        if (error != 0) return os_failure(error);
    }

    const std::size_t split = target.find_last_of(L"\\/:") + 1;  // 0 when there is no separator
    // Shortened so the temporary name fits wherever the target's does.
    std::size_t keep = std::min(target.size() - split, std::size_t{233});
    if (keep > 0 && IS_HIGH_SURROGATE(target[split + keep - 1])) --keep;
    std::wstring temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; file == INVALID_HANDLE_VALUE; ++attempt) {
        temp = target.substr(0, split) + L"." + target.substr(split, keep) + L"." + temp_suffix() +
               L".tmp";
        file = ::CreateFileW(detail::path_for_system(temp).c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             CREATE_NEW, attributes, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_FILE_EXISTS || attempt == 100) return os_failure(error);
        }
    }

    std::optional<std::string> failure;
    while (!data.empty() && !failure) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 0xFFFFFFFFu));
        DWORD written = 0;
        if (!::WriteFile(file, data.data(), chunk, &written, nullptr)) {
            failure = os_failure(::GetLastError());
        } else if (written == 0) {
            failure = detail::simple_error_description("WriteZero", "failed to write whole buffer");
        } else {
            data = data.subspan(written);
        }
    }
    if (!failure && !::FlushFileBuffers(file)) failure = os_failure(::GetLastError());
    if (!::CloseHandle(file) && !failure) failure = os_failure(::GetLastError());
    const std::wstring temp_for_system = detail::path_for_system(temp);
    if (!failure && !::MoveFileExW(temp_for_system.c_str(), detail::path_for_system(target).c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        failure = os_failure(::GetLastError());
    }
    if (failure) ::DeleteFileW(temp_for_system.c_str());
    return failure;
}

}  // namespace pyqelm::fileio
