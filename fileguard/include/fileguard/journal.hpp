// The record that makes a rewrite in place survive a crash: before the first byte of a file
// changes, its old contents go to a record beside it ("<dir>/.<name>.journal"), flushed; the
// record is removed only once the file is flushed with its new contents. Whoever opens the file
// next through this project (a save, qelmfile.load, qelm-inspect) and finds a whole record puts
// the old contents back first; a torn record (its length or checksums do not agree) was never
// complete, so the file was never touched, and it is discarded.
//
// Layout, integers little-endian:
//   0  "QELMJRN1"          8  device of the file    16  inode of the file
//   24 old length          32 checksum of the old contents
//   40 two reserved words (zero)                    56 checksum of bytes 0..55
//   64 the old contents, exactly `old length` bytes; nothing after them
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace fileguard {

inline constexpr std::size_t header_size = 64;

struct Header {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t old_size = 0;
    std::uint64_t checksum = 0;  // of the old contents
};

std::array<std::uint8_t, header_size> encode_header(const Header& header);
// std::nullopt when the bytes are not a whole, intact header.
std::optional<Header> decode_header(std::span<const std::uint8_t> bytes);
// A 64-bit checksum that sees every byte and its position; fast enough (several GB/s) not to
// matter beside the writes it guards.
std::uint64_t checksum(std::span<const std::uint8_t> bytes);
// The record's name for a file named `name`, shortened (between characters) so that it stays
// within the 255-byte limit of common file systems.
std::string journal_name(std::string_view name);

// What a look for a record found.
enum class Outcome {
    none,       // no record: the file is as its last save left it
    recovered,  // a whole record: the old contents were put back and the record removed
    discarded,  // a torn record (the save had not begun to change the file): removed
    failed,     // a record is there but could not be applied; `error` says why
};
struct Recovery {
    Outcome outcome = Outcome::none;
    int error = 0;  // errno on POSIX, a system error code on Windows
};

#ifndef _WIN32
// Takes the exclusive lock every saver of a file holds across its rewrite, waiting for it.
// `fd` must be open for writing.
int lock(int fd);
// The directory that holds the open file `fd` and the file's name there, found through the
// kernel's own record of the opened path and confirmed by the entry being the same inode.
// Fails (ENOENT) when that cannot be confirmed. `readable_directory` tells whether the
// directory could be opened for reading (which flushing it needs).
int final_location(int fd, int& directory, std::string& name, bool& readable_directory);
// Recovers the file open as `fd` (for writing, locked) whose entry is `name` in `directory`.
Recovery recover_open(int directory, const std::string& name, int fd);
#endif

// For readers: recovers the file at `path` (as the system names it) before it is read. A path
// that does not name an existing regular file has nothing to recover.
Recovery recover_path(const std::string& path);

// One line for a person: what `recovery` did, or "" for Outcome::none.
std::string describe(const Recovery& recovery);

}  // namespace fileguard
