// Error descriptions of the file layer, shared by the POSIX and Windows implementations so that
// both spell a failure the same way, and the guarded rewrite in place both use.
#include "fileio.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <memory>
#include <vector>

#include "fileguard/journal.hpp"
#include "protocols/utf8.hpp"

namespace pyqelm::fileio::detail {

namespace utf8 = protocols::utf8;

// Each ill-formed stretch of a garbled system message becomes one U+FFFD, so the text stays
// readable.
std::string quote_message(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (std::size_t pos = 0; pos < text.size();) {
        const utf8::Step step = utf8::decode_step(text, pos);
        pos += step.length;
        const char32_t code_point = step.code_point;  // U+FFFD when ill-formed
        if (const std::string_view escape = utf8::short_escape(code_point); !escape.empty()) {
            out += escape;
        } else if (code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F)) {
            utf8::append_code_point_escape(out, code_point);
        } else {
            utf8::append(out, code_point);
        }
    }
    out.push_back('"');
    return out;
}

std::string os_error_description(int code, std::string_view kind, std::string_view message) {
    std::string out = "Os { code: ";
    out += std::to_string(code);
    out += ", kind: ";
    out += kind;
    out += ", message: ";
    out += quote_message(message);
    out += " }";
    return out;
}

std::string simple_error_description(std::string_view kind, std::string_view message) {
    std::string out = "Error { kind: ";
    out += kind;
    out += ", message: ";
    out += quote_message(message);
    out += " }";
    return out;
}

std::optional<std::string> utf16_to_utf8(std::u16string_view text) {
    return utf8::from_utf16(text);
}

std::optional<std::string> describe_result(int error) {
    if (error == 0) return std::nullopt;
    if (error == write_zero) {
        return simple_error_description("WriteZero", "failed to write whole buffer");
    }
    return describe_os_error(error);
}

std::uint64_t temp_name_bits(std::uint64_t clock, std::uint64_t process, std::uint64_t count) {
    std::uint64_t x = clock ^ (process << 32) ^ (count * 0x9E3779B97F4A7C15u);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9u;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBu;
    x ^= x >> 31;
    return x;
}

// The old contents are read into memory before anything changes, so that a read-only
// directory or a file with other names (which cannot be replaced by a new file) is still
// protected against a full disk, a file-size limit or an I/O error. A protocol file is at most
// some 27 MB; an old file beyond `in_place_backup_limit` (the path holds something that is not
// a protocol) is not kept whole: only the bytes the new contents overwrite are, and its tail is
// cut only after the new contents are on disk, so only a failure of the last flush after the
// cut can lose that tail (it then reads as zeros).
int rewrite_in_place(InPlaceFile& file, bool readable, const Contents& data) {
    std::uint64_t old_size = 0;
    if (const int error = file.size(old_size); error != 0) return error;
    const std::uint64_t new_size = data.size();
    // Not zero-filled first: the read overwrites it all, and 27 MB of zeros cost a few ms.
    std::unique_ptr<std::uint8_t[]> kept;
    std::span<std::uint8_t> old;
    if (readable) {
        if (const int error = injected_fault(Step::read_old); error != 0) return error;
        const auto keep = static_cast<std::size_t>(old_size <= in_place_backup_limit
                                                       ? old_size
                                                       : std::min(old_size, new_size));
        kept = std::make_unique_for_overwrite<std::uint8_t[]>(keep);
        old = std::span(kept.get(), keep);
        std::size_t got = 0;
        if (const int error = file.read_at(0, old, got); error != 0) return error;
        if (got < old.size()) {  // shorter than a moment ago: someone else is writing it
            old = old.first(got);
            old_size = got;
        }
    }
    const bool whole = readable && old.size() == old_size;
    // Before the first change, the record that undoes it after a crash, with what the new
    // blocks will be, which tells a rewrite cut short from a file saved again since.
    if (whole) {
        std::vector<std::uint64_t> sums;
        if (file.keeps_record()) {
            class Summer final : public Contents::Output {
            public:
                int write(std::span<const std::uint8_t> piece) override {
                    sums.add(piece);
                    count += piece.size();
                    return 0;
                }
                fileguard::BlockSums sums;
                std::uint64_t count = 0;
            };
            Summer summer;
            if (const int error = data.produce(summer); error != 0) return error;
            if (summer.count != new_size) return write_zero;  // not what was announced
            sums = summer.sums.finish();
        }
        if (const int error = file.keep_old(old, new_size, sums); error != 0) return error;
    }

    const auto step = [](Step point, auto&& operation) {
        const int fault = injected_fault(point);
        return fault != 0 ? fault : operation();
    };
    // Room first: a full disk or a size limit strikes before any old byte is touched.
    int error = step(Step::reserve, [&] { return file.reserve(old_size, new_size); });
    if (error != 0) {
        std::uint64_t now = old_size;
        if (file.size(now) == 0 && now != old_size &&
            (file.set_length(old_size) != 0 || file.sync() != 0)) {
            return error;  // the record stays and undoes the longer length later
        }
        file.release_old();
        return error;
    }
    // Best effort: the original failure is what the caller hears about. Only once the old
    // contents are back on disk may the record that holds them go.
    const auto put_back = [&] {
        if (!readable || injected_fault(Step::put_back) != 0) return;
        if (file.write_at(0, old) == 0 && file.set_length(old_size) == 0 && file.sync() == 0) {
            file.release_old();
        }
    };

    // Each piece is written as it comes, in whole blocks of the record: a write cut short
    // then leaves every block old or new. Never past the room reserved.
    class Writer final : public Contents::Output {
    public:
        Writer(InPlaceFile& file, std::uint64_t limit) : file_(file), limit_(limit) {}
        int write(std::span<const std::uint8_t> piece) override {
            // More than announced would pass the reservation: refused like a short write.
            if (piece.size() > limit_ - offset_) return write_zero;
            if (const int fault = injected_fault(Step::write_piece); fault != 0) return fault;
            offset_ += piece.size();
            if (filled_ > 0) {
                const std::size_t take = std::min(piece.size(), block.size() - filled_);
                std::copy_n(piece.begin(), take,
                            block.begin() + static_cast<std::ptrdiff_t>(filled_));
                filled_ += take;
                piece = piece.subspan(take);
                if (filled_ < block.size()) return 0;
                if (const int error = file_.write_at(written_, block); error != 0) return error;
                written_ += block.size();
                filled_ = 0;
            }
            const std::size_t blocks = piece.size() / block.size() * block.size();
            if (const int error = file_.write_at(written_, piece.first(blocks)); error != 0) {
                return error;
            }
            written_ += blocks;
            filled_ = piece.size() - blocks;
            std::copy_n(piece.begin() + static_cast<std::ptrdiff_t>(blocks), filled_,
                        block.begin());
            return 0;
        }
        // The last, short block.
        int finish() {
            if (filled_ == 0) return 0;
            if (const int error = file_.write_at(written_, std::span(block).first(filled_));
                error != 0) {
                return error;
            }
            written_ += filled_;
            filled_ = 0;
            return 0;
        }
        std::uint64_t offset() const { return offset_; }

    private:
        InPlaceFile& file_;
        std::uint64_t limit_;
        std::uint64_t offset_ = 0;   // accepted
        std::uint64_t written_ = 0;  // handed to the file
        std::array<std::uint8_t, fileguard::block_size> block{};
        std::size_t filled_ = 0;
    };
    Writer writer(file, new_size);
    try {
        error = data.produce(writer);
    } catch (...) {
        put_back();
        throw;
    }
    if (error == 0) error = writer.finish();
    if (error == 0 && writer.offset() != new_size) error = write_zero;  // fewer than announced
    if (error == 0) error = injected_fault(Step::write);
    if (error == 0 && new_size < old_size) {
        if (!whole) error = step(Step::sync, [&] { return file.sync(); });
        if (error == 0) error = step(Step::truncate, [&] { return file.set_length(new_size); });
    }
    if (error == 0) error = step(Step::sync, [&] { return file.sync(); });
    // A record that cannot go would undo this save at the next open: that is a failure.
    if (error == 0) return file.release_old();
    put_back();
    return error;
}

int write_zeros(InPlaceFile& file, std::uint64_t from, std::uint64_t to) {
    static constexpr std::uint8_t zeros[65536] = {};
    for (std::uint64_t at = from; at < to;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(to - at, sizeof zeros));
        if (const int error = file.write_at(at, std::span(zeros, count)); error != 0) return error;
        at += count;
    }
    return 0;
}

}  // namespace pyqelm::fileio::detail
