// The rewrite in place on Windows: the old contents go to a flushed record beside the file
// before its first byte changes (the same record as on POSIX), so that a crash leaves either
// contents whole to whoever opens it next through this project.
#include <algorithm>
#include <vector>

#include "fileguard/journal.hpp"
#include "fileio_windows.hpp"

namespace pyqelm::fileio::windows {
namespace {

using detail::injected_fault;
using detail::Step;
using detail::write_zero;

OVERLAPPED at_offset(std::uint64_t offset) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

class WindowsInPlace final : public detail::InPlaceFile {
public:
    WindowsInPlace(HANDLE file, const Place& place) : file_(file), place_(place) {}
    WindowsInPlace(const WindowsInPlace&) = delete;
    WindowsInPlace& operator=(const WindowsInPlace&) = delete;
    // A record still there (a failure that could not put the old contents back) stays: it
    // puts them back at the next open.
    ~WindowsInPlace() = default;

    int size(std::uint64_t& out) override {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(file_, &size)) return last_error();
        out = static_cast<std::uint64_t>(size.QuadPart);
        return 0;
    }
    int read_at(std::uint64_t offset, std::span<std::uint8_t> out, std::size_t& got) override {
        got = 0;
        while (got < out.size()) {
            const auto count = static_cast<DWORD>(std::min(out.size() - got, io_chunk));
            OVERLAPPED where = at_offset(offset + got);
            DWORD read = 0;
            if (!::ReadFile(file_, out.data() + got, count, &read, &where)) {
                if (::GetLastError() == ERROR_HANDLE_EOF) break;
                return last_error();
            }
            if (read == 0) break;
            got += read;
        }
        return 0;
    }
    int reserve(std::uint64_t current, std::uint64_t length) override {
        if (length <= current) return 0;
        // Allocated clusters beyond the end of the file: the length and the old bytes stay.
        FILE_ALLOCATION_INFO allocation{};
        allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(length);
        if (::SetFileInformationByHandle(file_, FileAllocationInfo, &allocation,
                                         sizeof allocation)) {
            return 0;
        }
        // Where the file system cannot reserve room: zeros after the old end, whose writes
        // report what stands in the way.
        return detail::write_zeros(*this, current, length);
    }
    int write_at(std::uint64_t offset, std::span<const std::uint8_t> data) override {
        return write_all(file_, offset, data);
    }
    int set_length(std::uint64_t length) override {
        LARGE_INTEGER to{};
        to.QuadPart = static_cast<LONGLONG>(length);
        if (!::SetFilePointerEx(file_, to, nullptr, FILE_BEGIN) || !::SetEndOfFile(file_)) {
            return last_error();
        }
        return 0;
    }
    int sync() override { return ::FlushFileBuffers(file_) ? 0 : last_error(); }

    bool keeps_record() const override { return !place_.name.empty(); }

    // Where no record can be made beside the file (a folder the caller may not write to), the
    // file is rewritten behind the copy in memory only.
    int keep_old(std::span<const std::uint8_t> old, std::uint64_t new_size,
                 std::span<const std::uint64_t> new_sums) override {
        if (place_.name.empty()) return 0;
        if (const int fault = injected_fault(Step::journal_write); fault != 0) return fault;
        const std::wstring path = place_.directory + L"\\" + fileguard::journal_name(place_.name);
        for (int attempt = 0;; ++attempt) {
            // Hidden, as names starting with a dot are elsewhere; readers may look at it.
            record_.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_HIDDEN, nullptr));
            if (record_) break;
            const int error = last_error();
            if (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT) return 0;
            // Under the lock, after recovery: what is left is a record not to be trusted (of
            // another user); it goes if it may, else the save cannot be guarded.
            if (error != ERROR_FILE_EXISTS) return error;
            if (attempt > 0 || !::DeleteFileW(path.c_str())) return ERROR_FILE_EXISTS;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(file_, &info)) {
            const int error = last_error();
            drop_record();
            return error;
        }
        const std::vector<std::uint8_t> sums = fileguard::encode_sums(new_sums);
        fileguard::Header header;
        header.device = info.dwVolumeSerialNumber;
        header.inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
        header.old_size = old.size();
        header.checksum = fileguard::body_checksum(old, sums);
        header.new_size = new_size;
        const auto head = fileguard::encode_header(header);
        int error = write_all(record_.get(), 0, head);
        if (error == 0) error = write_all(record_.get(), head.size(), old);
        if (error == 0) error = write_all(record_.get(), head.size() + old.size(), sums);
        if (error == 0) error = injected_fault(Step::journal_sync);
        // The flush commits the file system's log too, and with it the record's new name.
        if (error == 0 && !::FlushFileBuffers(record_.get())) error = last_error();
        if (error != 0) drop_record();
        return error;
    }

    int release_old() override {
        if (!record_) return 0;
        if (const int fault = injected_fault(Step::journal_remove); fault != 0) return fault;
        FILE_DISPOSITION_INFO remove{};
        remove.DeleteFile = TRUE;
        if (!::SetFileInformationByHandle(record_.get(), FileDispositionInfo, &remove,
                                          sizeof remove)) {
            return last_error();
        }
        return record_.close();
    }

    bool holds_record() const { return static_cast<bool>(record_); }

private:
    void drop_record() {
        FILE_DISPOSITION_INFO remove{};
        remove.DeleteFile = TRUE;
        ::SetFileInformationByHandle(record_.get(), FileDispositionInfo, &remove, sizeof remove);
        record_.reset();
    }

    HANDLE file_;
    const Place& place_;
    UniqueHandle record_;
};

}  // namespace

int write_all(HANDLE file, std::uint64_t offset, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const auto count = static_cast<DWORD>(std::min(data.size(), io_chunk));
        OVERLAPPED where = at_offset(offset);
        DWORD written = 0;
        if (!::WriteFile(file, data.data(), count, &written, &where)) return last_error();
        if (written == 0) return write_zero;
        offset += written;
        data = data.subspan(written);
    }
    return 0;
}

int rewrite_journaled(HANDLE file, bool readable, const Place& place,
                      std::span<const std::uint8_t> data, bool& old_in_record) {
    WindowsInPlace in_place(file, place);
    const int error = detail::rewrite_in_place(in_place, readable, data);
    old_in_record = error != 0 && in_place.holds_record();
    return error;
}

}  // namespace pyqelm::fileio::windows
