// File layer of `save`: replaces a protocol file durably, so a failed save never destroys the
// previous file and a successful one changes its contents only, never what makes it that file
// (its other names, owner, mode, attributes, the mount it sits on). Failures come back as the
// text the caller puts into its exception.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pyqelm::fileio {

// The new contents of a file, produced while they are written, so that the disk can take the
// first pieces while the later ones are still being made.
class Contents {
public:
    // Takes the pieces in order; returns 0 or the error that ends the save.
    class Output {
    public:
        virtual int write(std::span<const std::uint8_t> piece) = 0;

    protected:
        ~Output() = default;
    };

    // The exact number of bytes `produce` hands over (the room reserved for them).
    virtual std::uint64_t size() const = 0;
    // Hands every byte to `out`, in order, and stops at the first error it returns. Returns 0
    // or that error. May be called more than once; throws only std::bad_alloc.
    virtual int produce(Output& out) const = 0;

protected:
    ~Contents() = default;
};

// Contents already in memory, handed over whole.
class BytesContents final : public Contents {
public:
    explicit BytesContents(std::span<const std::uint8_t> data) noexcept : data_(data) {}
    std::uint64_t size() const override { return data_.size(); }
    int produce(Output& out) const override { return data_.empty() ? 0 : out.write(data_); }

private:
    std::span<const std::uint8_t> data_;
};

// Replaces the file at `utf8_path` with exactly what `contents` produces, as the overload below
// does with bytes in memory. Available on POSIX systems.
std::optional<std::string> replace_file(std::string_view utf8_path, const Contents& contents);

// Replaces the file at `utf8_path` with exactly `data`. Returns std::nullopt on success, else the
// error's description, for example
//   Os { code: 2, kind: NotFound, message: "No such file or directory" }
//   Error { kind: WriteZero, message: "failed to write whole buffer" }
// A symbolic link at the path stays and the file it leads to is replaced. Throws only
// std::bad_alloc.
std::optional<std::string> replace_file(std::string_view utf8_path,
                                        std::span<const std::uint8_t> data);

namespace detail {

// Shared by both platform layers (fileio_common.cpp).

// `text` in double quotes, with quotes, backslashes and control characters escaped; bytes that
// are not UTF-8 become U+FFFD.
std::string quote_message(std::string_view text);
// Os { code: C, kind: K, message: "M" }
std::string os_error_description(int code, std::string_view kind, std::string_view message);
// Error { kind: K, message: "M" }
std::string simple_error_description(std::string_view kind, std::string_view message);
// std::nullopt when `text` holds an unpaired surrogate.
std::optional<std::string> utf16_to_utf8(std::u16string_view text);

// Per platform: `code` is an errno value on POSIX, a system error code on Windows.
std::string_view os_error_kind(int code);
std::string describe_os_error(int code);
// What `replace_file` returns for the result of a save: nothing for 0, else the description of
// the error (`write_zero` or a code of the system).
std::optional<std::string> describe_result(int error);

// Well-mixed bits for a temporary file's name from a clock reading, the process id and a
// per-process counter (no std::random_device: it can throw).
std::uint64_t temp_name_bits(std::uint64_t clock, std::uint64_t process, std::uint64_t count);

// Stands in for an error code when a write accepts nothing, which has no code of its own.
inline constexpr int write_zero = -1;

// The points of a save where the file system can fail. Tests make any of them fail through
// `fault_hook`; in normal use the hook is empty and costs one test of a pointer per step.
enum class Step {
    create_temp,     // after the temporary file was created
    copy_identity,   // before the owner, attributes and mode go to the temporary file
    rename,          // before the temporary file replaces the target
    named,           // after the new file got its temporary name, before the rename
    sync_directory,  // before the directory is flushed, after the rename
    read_old,        // before the old contents are read for an in-place rewrite
    reserve,         // before the room for the new contents is reserved
    write,           // after the new contents were written (a late I/O error)
    truncate,        // before the file is cut to its new length
    sync,            // before the file is flushed
    write_piece,     // before each piece of the new contents is written
    journal_write,   // before the record of the old contents is made
    journal_sync,    // before that record is flushed
    journal_remove,  // before the record is removed, the file being final
    put_back,        // before the old contents are put back after a failure
};
// Returns the error code the step fails with, or 0 to let it succeed. Only tests set it.
using FaultHook = int (*)(Step);
inline FaultHook fault_hook = nullptr;
inline int injected_fault(Step step) { return fault_hook != nullptr ? fault_hook(step) : 0; }

// The operating system's side of a guarded rewrite in place. Each call returns 0 or an error.
class InPlaceFile {
public:
    virtual int size(std::uint64_t& out) = 0;
    // Reads exactly `out.size()` bytes from `offset` (fewer only at the end of the file).
    virtual int read_at(std::uint64_t offset, std::span<std::uint8_t> out, std::size_t& got) = 0;
    // Makes sure `length` bytes fit without failing for want of room. May lengthen the file
    // with zeros where the file system cannot reserve room otherwise; never changes a byte
    // below `current`.
    virtual int reserve(std::uint64_t current, std::uint64_t length) = 0;
    virtual int write_at(std::uint64_t offset, std::span<const std::uint8_t> data) = 0;
    virtual int set_length(std::uint64_t length) = 0;
    virtual int sync() = 0;
    // Whether `keep_old` makes a record, which then needs the checksums of the new blocks.
    virtual bool keeps_record() const { return false; }
    // Makes the whole old contents durable elsewhere before any byte of the file changes, with
    // the length and block checksums of the new contents (empty unless `keeps_record`), so
    // that a crash cannot leave a mix; 0 where the platform keeps no such record.
    virtual int keep_old(std::span<const std::uint8_t> /*old*/, std::uint64_t /*new_size*/,
                         std::span<const std::uint64_t> /*new_sums*/) {
        return 0;
    }
    // The file is flushed with its final contents (new, or old put back): the record goes.
    virtual int release_old() { return 0; }

protected:
    ~InPlaceFile() = default;
};

// Old contents up to this size are kept whole while the file is rewritten in place.
inline constexpr std::uint64_t in_place_backup_limit = std::uint64_t{256} << 20;

// Rewrites an open file with `data`, guarded: the room is reserved before any old byte
// changes, the new contents go out in whole blocks of the record (the last one excepted), and on a
// failure (an exception from `data` included) the old bytes and length are put back and flushed
// before the failure is returned. `readable` is false for a file opened for writing only, whose old
// contents cannot be kept. See the definition for files beyond `in_place_backup_limit`.
int rewrite_in_place(InPlaceFile& file, bool readable, const Contents& data);
inline int rewrite_in_place(InPlaceFile& file, bool readable, std::span<const std::uint8_t> data) {
    return rewrite_in_place(file, readable, BytesContents(data));
}

// Writes zeros into `file` from offset `from` up to `to`: room reserved the one way every file
// system allows, where it offers no other.
int write_zeros(InPlaceFile& file, std::uint64_t from, std::uint64_t to);

#ifdef _WIN32
// The form of `path` to hand to the system: unchanged while it fits the classic 260-unit limit,
// else the extended-length form ("\\?\C:\..." or "\\?\UNC\server\share\...") of its full path.
std::wstring path_for_system(std::wstring path);
// The description of system error `code` from the text the system gave for it (`text` null when
// it gave none, `lookup_error` then telling why).
std::string describe_os_error(int code, const wchar_t* text, std::size_t length,
                              unsigned long lookup_error);
#endif

}  // namespace detail
}  // namespace pyqelm::fileio
