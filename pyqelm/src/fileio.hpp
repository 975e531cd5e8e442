// File layer of `save`: replaces a protocol file atomically and durably, so a failed save never
// destroys the previous file. Failures come back as the text the caller puts into its exception.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pyqelm::fileio {

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

// Well-mixed bits for a temporary file's name from a clock reading, the process id and a
// per-process counter (no std::random_device: it can throw).
std::uint64_t temp_name_bits(std::uint64_t clock, std::uint64_t process, std::uint64_t count);

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
