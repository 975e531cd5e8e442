// Finding and applying a record on Windows, and the lock every saver holds. The record is the
// same as on POSIX; the file's identity is its volume serial number and file index.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After <windows.h>, which it needs.
#include <aclapi.h>

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

#include "fileguard/journal.hpp"

namespace fileguard {
namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr std::size_t io_chunk = std::size_t{8} << 20;

int last_error() { return static_cast<int>(::GetLastError()); }

class Handle {
public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (*this) ::CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

private:
    HANDLE handle_;
};

OVERLAPPED at_offset(std::uint64_t offset) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

int read_all(HANDLE file, std::uint64_t offset, std::span<std::uint8_t> out) {
    while (!out.empty()) {
        const auto count = static_cast<DWORD>(std::min(out.size(), io_chunk));
        OVERLAPPED where = at_offset(offset);
        DWORD got = 0;
        if (!::ReadFile(file, out.data(), count, &got, &where)) {
            return ::GetLastError() == ERROR_HANDLE_EOF ? ERROR_READ_FAULT : last_error();
        }
        if (got == 0) return ERROR_READ_FAULT;  // shorter than its size said: changed under us
        offset += got;
        out = out.subspan(got);
    }
    return 0;
}

int write_all(HANDLE file, std::span<const std::uint8_t> data) {
    std::uint64_t offset = 0;
    while (!data.empty()) {
        const auto count = static_cast<DWORD>(std::min(data.size(), io_chunk));
        OVERLAPPED where = at_offset(offset);
        DWORD written = 0;
        if (!::WriteFile(file, data.data(), count, &written, &where)) return last_error();
        if (written == 0) return ERROR_WRITE_FAULT;
        offset += written;
        data = data.subspan(written);
    }
    return 0;
}

int size_of(HANDLE file, std::uint64_t& size) {
    LARGE_INTEGER length{};
    if (!::GetFileSizeEx(file, &length)) return last_error();
    size = static_cast<std::uint64_t>(length.QuadPart);
    return 0;
}

// The owner of an open file, or null.
struct Owner {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID sid = nullptr;
    explicit Owner(HANDLE file) {
        if (::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr,
                              nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
            sid = nullptr;
            descriptor = nullptr;
        }
    }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;
    ~Owner() {
        if (descriptor != nullptr) ::LocalFree(descriptor);
    }
};

bool is_caller(PSID sid) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    const Handle owned(token);
    alignas(TOKEN_USER) std::uint8_t buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD length = 0;
    if (!::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length)) return false;
    return ::EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid) != 0;
}

// A record is applied only where its writer could have written the file anyway: the file's
// owner, the caller, the administrators or the system. Anyone else's record is ignored, so
// that a name planted in a shared folder cannot write into the file. A record must be a plain
// file with no other name.
bool trusted(HANDLE record, HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(record, &info) || info.nNumberOfLinks != 1 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return false;
    }
    const Owner of_record(record);
    if (of_record.sid == nullptr) return false;
    const Owner of_file(file);
    return (of_file.sid != nullptr && ::EqualSid(of_record.sid, of_file.sid)) ||
           is_caller(of_record.sid) ||
           ::IsWellKnownSid(of_record.sid, WinBuiltinAdministratorsSid) ||
           ::IsWellKnownSid(of_record.sid, WinLocalSystemSid);
}

// The folder (as the system names it) and the name of an open file.
bool location(HANDLE file, std::wstring& directory, std::wstring& name) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                        FILE_NAME_NORMALIZED);
        if (length == 0) return false;
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(length);
    }
    const std::size_t split = path.find_last_of(L"\\/");
    if (split == std::wstring::npos || split + 1 == path.size()) return false;
    directory = path.substr(0, split);
    name = path.substr(split + 1);
    return true;
}

bool same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION one{};
    BY_HANDLE_FILE_INFORMATION two{};
    return ::GetFileInformationByHandle(a, &one) && ::GetFileInformationByHandle(b, &two) &&
           one.dwVolumeSerialNumber == two.dwVolumeSerialNumber &&
           one.nFileIndexHigh == two.nFileIndexHigh && one.nFileIndexLow == two.nFileIndexLow;
}

}  // namespace

std::wstring journal_name(std::wstring_view name) {
    constexpr std::size_t limit = 255;
    constexpr std::wstring_view suffix = L".journal";
    std::size_t keep = std::min(name.size(), limit - 1 - suffix.size());
    // Between characters: never the two halves of a surrogate pair apart.
    if (keep > 0 && keep < name.size() && IS_LOW_SURROGATE(name[keep])) --keep;
    std::wstring out = L".";
    out += name.substr(0, keep);
    out += suffix;
    return out;
}

int lock(void* file) {
    OVERLAPPED far_byte{};
    far_byte.Offset = 0xFFFFFFFEu;
    far_byte.OffsetHigh = 0x7FFFFFFFu;
    return ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &far_byte) ? 0 : last_error();
}

Recovery recover_open(const std::wstring& directory, const std::wstring& name, void* file) {
    const std::wstring record_path = directory + L"\\" + journal_name(name);
    // Not through a link: a record is a plain file beside the file.
    const Handle record(::CreateFileW(record_path.c_str(), GENERIC_READ | DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!record || !trusted(record.get(), file)) return {};

    std::uint64_t size = 0;
    std::uint64_t file_size = 0;
    BY_HANDLE_FILE_INFORMATION info{};
    if (const int error = size_of(record.get(), size); error != 0) return {Outcome::failed, error};
    if (const int error = size_of(file, file_size); error != 0) return {Outcome::failed, error};
    if (!::GetFileInformationByHandle(file, &info)) return {Outcome::failed, last_error()};
    Decision decision;
    // Not even a header: torn at its start. A length beyond any record's is not read at all.
    if (size >= header_size && size <= std::uint64_t{1} << 40) {
        std::unique_ptr<std::uint8_t[]> bytes;
        try {
            bytes = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(size));
        } catch (const std::bad_alloc&) {
            return {Outcome::failed, ERROR_NOT_ENOUGH_MEMORY};
        }
        const std::span<std::uint8_t> whole(bytes.get(), static_cast<std::size_t>(size));
        if (const int error = read_all(record.get(), 0, whole); error != 0) {
            return {Outcome::failed, error};
        }
        const ReadAt read = [file](std::uint64_t offset, std::span<std::uint8_t> into) {
            return read_all(file, offset, into);
        };
        const std::uint64_t index =
            (std::uint64_t{info.nFileIndexHigh} << 32) | std::uint64_t{info.nFileIndexLow};
        if (const int error =
                decide(whole, info.dwVolumeSerialNumber, index, file_size, read, decision);
            error != 0) {
            return {Outcome::failed, error};
        }
        if (decision.put_back) {
            LARGE_INTEGER length{};
            length.QuadPart = static_cast<LONGLONG>(decision.old.size());
            int error = write_all(file, decision.old);
            if (error == 0 && (!::SetFilePointerEx(file, length, nullptr, FILE_BEGIN) ||
                               !::SetEndOfFile(file) || !::FlushFileBuffers(file))) {
                error = last_error();
            }
            if (error != 0) return {Outcome::failed, error};
        }
    }
    // Gone once this handle closes. Should the removal not reach the disk before a crash, the
    // record comes back to find the file whole, and goes again.
    FILE_DISPOSITION_INFO remove{};
    remove.DeleteFile = TRUE;
    if (!::SetFileInformationByHandle(record.get(), FileDispositionInfo, &remove, sizeof remove)) {
        return {Outcome::failed, last_error()};
    }
    return {decision.outcome, 0};
}

Recovery recover_path(const std::wstring& path) {
    const Handle found(::CreateFileW(path.c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!found || !::GetFileInformationByHandle(found.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return {};
    }
    std::wstring directory;
    std::wstring name;
    if (!location(found.get(), directory, name)) return {};
    // The common case ends here: no record, and nothing was opened for writing.
    const std::wstring record_path = directory + L"\\" + journal_name(name);
    if (::GetFileAttributesW(record_path.c_str()) == INVALID_FILE_ATTRIBUTES) return {};
    const std::wstring final_path = directory + L"\\" + name;
    const Handle file(::CreateFileW(final_path.c_str(), GENERIC_READ | GENERIC_WRITE, share_all,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return {Outcome::failed, last_error()};
    // The same file as the one found, whatever the path names now.
    if (!same_file(found.get(), file.get())) return {};
    if (const int error = lock(file.get()); error != 0) return {Outcome::failed, error};
    return recover_open(directory, name, file.get());
}

Recovery recover_path(const std::string& path) {
    if (path.empty() || path.size() > 3 * 32767) return {};
    const int size = static_cast<int>(path.size());
    const int length =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, wide.data(), length);
    return recover_path(wide);
}

}  // namespace fileguard
