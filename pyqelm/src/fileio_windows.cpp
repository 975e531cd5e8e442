// Windows file layer: writes a complete new file beside the target and lets the system swap it in
// (keeping the old file's security, attributes and streams), and where that would not leave the
// file what it was, rewrites it in place behind a reservation and a copy of the old contents.
#include "fileio.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <utility>

#include "fileguard/journal.hpp"
#include "fileio_windows.hpp"

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

using detail::injected_fault;
using detail::Step;
using detail::write_zero;

using windows::last_error;
using windows::share_all;
using windows::UniqueHandle;

// Not an error: the file keeps what makes it that file only if rewritten in place.
constexpr int take_in_place = -2;
// Not an error: the path named another file by the time the lock was taken; it is opened
// afresh.
constexpr int again = -3;
// Rounds through `again` before giving up: each one means another saver finished meanwhile.
constexpr int max_rounds = 1000;

// A temporary file that is removed again unless it took the target's place. Declared before the
// handle of the file, so that the handle is closed first.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!path.empty()) ::DeleteFileW(path.c_str());
    }
    void release() { path.clear(); }
    std::wstring path;  // in the form handed to the system
};

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

// Writes a complete new file beside the target, flushed, and puts it in the target's place: by
// a move for a new file, so nobody ever sees it half written; by the system's replace for an
// existing one, which carries the old file's security, attributes and streams over. Returns
// `take_in_place` where an existing file could not be replaced that way.
int create_and_swap(const std::wstring& target, std::span<const std::uint8_t> data, bool existing,
                    DWORD attributes) {
    const std::size_t split = target.find_last_of(L"\\/:") + 1;  // 0 when there is no separator
    // Shortened so the temporary name fits wherever the target's does.
    std::size_t keep = std::min(target.size() - split, std::size_t{233});
    if (keep > 0 && IS_HIGH_SURROGATE(target[split + keep - 1])) --keep;
    TempFile temp;
    UniqueHandle file;
    for (int attempt = 0; !file; ++attempt) {
        const std::wstring path =
            detail::path_for_system(target.substr(0, split) + L"." + target.substr(split, keep) +
                                    L"." + temp_suffix() + L".tmp");
        file.reset(::CreateFileW(path.c_str(), GENERIC_WRITE, share_all, nullptr, CREATE_NEW,
                                 attributes, nullptr));
        if (file) {
            temp.path = path;
        } else if (::GetLastError() != ERROR_FILE_EXISTS || attempt == 100) {
            // A directory the caller may not write (or that is full) still holds a file that the
            // caller may rewrite.
            return existing ? take_in_place : last_error();
        }
    }
    int error = injected_fault(Step::create_temp);
    if (error == 0) error = windows::write_all(file.get(), 0, data);
    if (error == 0) error = injected_fault(Step::write);
    if (error == 0) error = injected_fault(Step::sync);
    if (error == 0 && !::FlushFileBuffers(file.get())) error = last_error();
    if (const int closed = file.close(); error == 0) error = closed;
    if (error == 0) error = injected_fault(Step::rename);
    if (error != 0) return error;

    const std::wstring target_for_system = detail::path_for_system(target);
    if (!existing) {
        if (!::MoveFileExW(temp.path.c_str(), target_for_system.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return last_error();
        }
        temp.release();
        return 0;
    }
    // Refused (a reader that does not share deletion, an identity the caller may not set):
    // the file can still be rewritten.
    if (injected_fault(Step::copy_identity) != 0) return take_in_place;
    if (::ReplaceFileW(target_for_system.c_str(), temp.path.c_str(), nullptr, 0, nullptr,
                       nullptr)) {
        temp.release();
        return 0;
    }
    if (::GetLastError() != ERROR_UNABLE_TO_MOVE_REPLACEMENT) return take_in_place;
    // The old file is gone and the new one still under its temporary name: it goes into place
    // as a plain new file, or stays where it is as the only copy of the contents.
    if (::MoveFileExW(temp.path.c_str(), target_for_system.c_str(), MOVEFILE_WRITE_THROUGH)) {
        temp.release();
        return 0;
    }
    error = last_error();
    // A rival saver put a whole file at the name in the moment it stood empty: this save goes
    // round again, over that file, under its lock.
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return again;
    temp.release();
    return error;
}

// Opened as a direct open would, so a file the caller may not write stays protected and is
// refused with the same error; sharing everything, so that it goes on beside any reader.
int open_for_rewrite(const std::wstring& target, UniqueHandle& file, bool& readable) {
    const std::wstring path = detail::path_for_system(target);
    readable = true;
    file.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share_all, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file && ::GetLastError() == ERROR_ACCESS_DENIED) {  // may write but not read
        file.reset(::CreateFileW(path.c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        readable = false;
    }
    return file ? 0 : last_error();
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// The folder and name of the open file as the system names them now.
windows::Place place_of(HANDLE file) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                        FILE_NAME_NORMALIZED);
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(length);
    }
    const std::size_t split = path.find_last_of(L"\\/");
    if (split == std::wstring::npos || split + 1 == path.size()) return {};
    return {path.substr(0, split), path.substr(split + 1)};
}

// One save of an existing file: opened, locked (savers of one file take turns, on either way
// of saving), confirmed to be still the file the path names, an interrupted save undone, and
// then replaced or rewritten in place.
int save_existing(const std::wstring& target, std::span<const std::uint8_t> data, DWORD attributes,
                  bool& old_in_record) {
    UniqueHandle file;
    bool readable = true;
    if (const int error = open_for_rewrite(target, file, readable); error != 0) return error;
    if (const int error = fileguard::lock(file.get()); error != 0) return error;
    // A rival saver may have put another file at the path while this one waited.
    BY_HANDLE_FILE_INFORMATION info{};
    BY_HANDLE_FILE_INFORMATION named{};
    {
        const UniqueHandle now(::CreateFileW(detail::path_for_system(target).c_str(), 0, share_all,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                             nullptr));
        if (!::GetFileInformationByHandle(file.get(), &info)) return last_error();
        if (!now) return ::GetLastError() == ERROR_FILE_NOT_FOUND ? again : last_error();
        if (!::GetFileInformationByHandle(now.get(), &named)) return last_error();
        if (!same_file(info, named)) return again;
    }
    const windows::Place place = place_of(file.get());
    if (!place.name.empty() && readable) {
        const fileguard::Recovery recovery =
            fileguard::recover_open(place.directory, place.name, file.get());
        if (recovery.outcome == fileguard::Outcome::failed) return recovery.error;
        if (!::GetFileInformationByHandle(file.get(), &info)) return last_error();
    }
    // A new file takes the old one's place only where nothing tells them apart afterwards:
    // another name of the file would keep the old contents. A reader that does not share
    // deletion (Python's open() is one) keeps the file from being replaced; asked first, so that
    // no new file is written in vain. The lock stays held across the replace: this handle
    // shares deletion, so it does not stand in the way.
    UniqueHandle deletable(::CreateFileW(detail::path_for_system(target).c_str(), DELETE, share_all,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    if (info.nNumberOfLinks == 1 && deletable) {
        deletable.reset();
        const int result = create_and_swap(target, data, true, attributes);
        if (result != take_in_place) return result;
    }
    return windows::rewrite_journaled(file.get(), readable, place, data, old_in_record);
}

int replace(std::wstring target, std::span<const std::uint8_t> data, bool& old_in_record) {
    // A file that a rival saver's replace is removing refuses every open for a moment, with the
    // code of a plain refusal: asked again a few times before that is believed.
    int refusals = 0;
    const auto refused_for_now = [&refusals](int error) {
        if (error != ERROR_ACCESS_DENIED || ++refusals > 20) return false;
        ::Sleep(1);
        return true;
    };
    for (int round = 0;; ++round) {
        // Learn about an existing target the way a direct open would see it: through links, so
        // the file a link leads to is replaced rather than the link.
        UniqueHandle probe(::CreateFileW(detail::path_for_system(target).c_str(), 0, share_all,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                         nullptr));
        if (!probe) {
            const int error = last_error();
            if (refused_for_now(error)) continue;
            if (error != ERROR_FILE_NOT_FOUND) return error;
            // A new file is always made by a move, so nobody ever sees it half written.
            return create_and_swap(target, data, false, FILE_ATTRIBUTE_NORMAL);
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(probe.get(), &info)) return last_error();
        if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
            return ERROR_ACCESS_DENIED;  // what opening it for writing reports
        }
        // Hidden, system and archive marks carry over to the new file.
        DWORD attributes =
            info.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
        std::wstring final_path(MAX_PATH, L'\0');
        for (;;) {
            const DWORD length = ::GetFinalPathNameByHandleW(probe.get(), final_path.data(),
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
        probe.reset();
        const int result = save_existing(target, data, attributes, old_in_record);
        if (result != again && !(refused_for_now(result) && !old_in_record)) return result;
        if (round == max_rounds) return ERROR_SHARING_VIOLATION;
    }
}

}  // namespace

std::optional<std::string> replace_file(std::string_view utf8_path,
                                        std::span<const std::uint8_t> data) {
    if (utf8_path.find('\0') != std::string_view::npos) {
        return detail::simple_error_description("InvalidInput",
                                                "strings passed to WinAPI cannot contain NULs");
    }
    // No path of the system is this long; it also keeps the length within an int.
    if (utf8_path.size() > 3 * 32767) return detail::describe_os_error(ERROR_FILENAME_EXCED_RANGE);
    bool old_in_record = false;
    const int error = replace(widen(utf8_path), data, old_in_record);
    std::optional<std::string> described = detail::describe_result(error);
    if (described && old_in_record) {
        // Into the quoted message, before its closing quote and brace.
        described->insert(described->size() - 3,
                          " (the file may be partly rewritten; its previous contents are "
                          "kept beside it and are put back when it is next opened by save, "
                          "qelmfile.load or qelm-inspect, unless by then it holds the new "
                          "contents whole)");
    }
    return described;
}

}  // namespace pyqelm::fileio
