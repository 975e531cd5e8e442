// The record that makes a rewrite in place survive a crash: before the first byte of a file
// changes, its old contents go to a record beside it ("<dir>/.<name>.journal"), flushed; the
// record is removed only once the file is flushed with its new contents. Whoever opens the file
// next through this project (a save, qelmfile.load, qelm-inspect) and finds a whole record puts
// the old contents back first; a torn record (its length or checksums do not agree) was never
// complete, so the file was never touched, and it is discarded.
//
// The record also holds a checksum of each block of the new contents, and the rewrite writes
// whole blocks only (the last one excepted), so that after a crash every block of the file is
// the old block or the new one. The old contents go back only over such a mix: a file that is
// wholly the new contents was saved completely, and a file with a block that is neither was
// saved again since (through another name of it, say), so the record is stale.
//
// Layout, integers little-endian:
//   0  "QELMJRN2"          8  device of the file    16  inode of the file
//   24 old length          32 checksum of everything after the header
//   40 new length          48 block size (low 32 bits), kind of identity (high 32 bits)
//   56 checksum of bytes 0..55
//   64 the old contents, exactly `old length` bytes, then one checksum per block of the new
//      contents; nothing after them.
// The identity is the device and inode on POSIX, the volume serial number and file index on
// Windows; a record written on the other kind of system is judged by the contents alone.
// A record of the first format ("QELMJRN1", reserved words zero, the checksum of the old
// contents at 32 and nothing after them) knows nothing of the new contents and is applied as
// before.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fileguard {

inline constexpr std::size_t header_size = 64;
// Sectors reach the disk whole and an interrupted write stops at a page boundary, so a block
// of this size written in one piece is either all old or all new.
inline constexpr std::size_t block_size = 512;

enum class Identity : std::uint32_t { posix = 1, windows = 2 };
#ifdef _WIN32
inline constexpr Identity native_identity = Identity::windows;
#else
inline constexpr Identity native_identity = Identity::posix;
#endif

struct Header {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t old_size = 0;
    std::uint64_t checksum = 0;  // of the rest of the record
    std::uint64_t new_size = 0;
    // 0 for a record of the first format, which records nothing of the new contents.
    std::uint32_t block = static_cast<std::uint32_t>(block_size);
    Identity identity = native_identity;
};

std::array<std::uint8_t, header_size> encode_header(const Header& header);
// std::nullopt when the bytes are not a whole, intact header of either format.
std::optional<Header> decode_header(std::span<const std::uint8_t> bytes);
// A 64-bit checksum that sees every byte and its position; fast enough (several GB/s) not to
// matter beside the writes it guards.
std::uint64_t checksum(std::span<const std::uint8_t> bytes);
// The exact length of a whole record with this header.
std::uint64_t record_size(const Header& header);
// How many blocks `size` bytes make.
std::uint64_t block_count(std::uint64_t size, std::uint32_t block = block_size);

// The checksums of the blocks of contents handed over in pieces of any length.
class BlockSums {
public:
    void add(std::span<const std::uint8_t> piece);
    // The checksums, the last (short) block included; the object is then empty again.
    std::vector<std::uint64_t> finish();
    // All of it at once.
    static std::vector<std::uint64_t> of(std::span<const std::uint8_t> contents);

private:
    std::vector<std::uint64_t> sums_;
    std::array<std::uint8_t, block_size> partial_{};
    std::size_t filled_ = 0;
};

// The bytes of a record after its header: the old contents and the checksums of the blocks of
// the new ones, little-endian.
std::vector<std::uint8_t> encode_sums(std::span<const std::uint64_t> sums);
// The checksum a header carries for that body.
std::uint64_t body_checksum(std::span<const std::uint8_t> old, std::span<const std::uint8_t> sums);

// What the file holds beside a whole record of a rewrite towards other contents.
enum class State {
    old_contents,   // wholly the old contents: the rewrite changed nothing yet (or was undone)
    new_contents,   // wholly the new contents: the rewrite completed
    interrupted,    // each block old or new: the rewrite was cut short, the old contents go back
    changed_since,  // a block that is neither: saved again since, the record is stale
};
// Reads `into.size()` bytes of the file from `offset`; returns 0 or an error.
using ReadAt = std::function<int(std::uint64_t offset, std::span<std::uint8_t> into)>;
// Judges a file of `size` bytes against a whole record (header, old contents, checksums of the
// new blocks). A record of the first format always finds it `interrupted`. Returns 0 or the
// error of a read.
int judge(const Header& header, std::span<const std::uint8_t> old,
          std::span<const std::uint64_t> new_sums, std::uint64_t size, const ReadAt& read,
          State& state);

// The record's name for a file named `name`, shortened (between characters) so that it stays
// within the 255-byte limit of common file systems.
std::string journal_name(std::string_view name);

// What a look for a record found.
enum class Outcome {
    none,       // no record: the file is as its last save left it
    recovered,  // a whole record: the old contents were put back and the record removed
    discarded,  // a torn record (the save had not begun to change the file): removed
    failed,     // a record is there but could not be applied; `error` says why
    completed,  // the save had written its new contents whole: its leftover record removed
    stale,      // the file was saved again since the record was made: record removed
};
struct Recovery {
    Outcome outcome = Outcome::none;
    int error = 0;  // errno on POSIX, a system error code on Windows
};

// What to do about a record read whole (header and body) beside a file whose identity is
// (`device`, `inode`) and whose length is `size`: the outcome it ends in and, for `recovered`,
// the old contents to put back (a part of `record`), else an empty span. Only `read` errors
// come back as an error; a record that is torn or of another file ends in `discarded`.
struct Decision {
    Outcome outcome = Outcome::discarded;
    bool put_back = false;
    std::span<const std::uint8_t> old;
};
int decide(std::span<const std::uint8_t> record, std::uint64_t device, std::uint64_t inode,
           std::uint64_t size, const ReadAt& read, Decision& decision);

#ifdef _WIN32
// The record's name for a file named `name`, within the 255 UTF-16 units of a name there.
std::wstring journal_name(std::wstring_view name);
// Takes the exclusive lock every saver of a file holds across its rewrite, waiting for it.
// Windows locks are mandatory for the bytes they cover, so it covers one byte far beyond any
// protocol's end: savers exclude each other, readers and writers of the contents go on.
int lock(void* file);
// Recovers the file open as `file` (for reading and writing, locked) whose entry is `name` in
// the folder `directory` (a full path, in the form handed to the system).
Recovery recover_open(const std::wstring& directory, const std::wstring& name, void* file);
// For readers: as below, for a path in UTF-16.
Recovery recover_path(const std::wstring& path);
#else
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

// For readers: recovers the file at `path` (as the system names it; UTF-8 on Windows) before
// it is read. A path that does not name an existing regular file has nothing to recover.
Recovery recover_path(const std::string& path);

// One line for a person: what `recovery` did, or "" for Outcome::none.
std::string describe(const Recovery& recovery);

}  // namespace fileguard
