// Error descriptions of the file layer, shared by the POSIX and Windows implementations so that
// both spell a failure the same way, and the guarded rewrite in place both use.
#include "fileio.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <memory>

namespace pyqelm::fileio::detail {
namespace {

constexpr char32_t replacement_character = 0xFFFD;

// Decodes one code point at `pos` and moves past it. A malformed sequence yields U+FFFD once for
// its longest valid-looking prefix, so a garbled system message still turns into readable text.
char32_t next_code_point(std::string_view text, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(text[pos++]);
    if (lead < 0x80) return lead;
    std::size_t length = 0;
    char32_t code_point = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code_point = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code_point = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code_point = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;   // no overlong forms
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return replacement_character;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (pos >= text.size()) return replacement_character;
        const auto byte = static_cast<unsigned char>(text[pos]);
        if (byte < low || byte > high) return replacement_character;
        low = 0x80;
        high = 0xBF;
        code_point = (code_point << 6) | (byte & 0x3Fu);
        ++pos;
    }
    return code_point;
}

void append_utf8(std::string& out, char32_t code_point) {
    const auto byte = [&out](char32_t value) { out.push_back(static_cast<char>(value)); };
    if (code_point < 0x80) {
        byte(code_point);
    } else if (code_point < 0x800) {
        byte(0xC0 | (code_point >> 6));
        byte(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        byte(0xE0 | (code_point >> 12));
        byte(0x80 | ((code_point >> 6) & 0x3F));
        byte(0x80 | (code_point & 0x3F));
    } else {
        byte(0xF0 | (code_point >> 18));
        byte(0x80 | ((code_point >> 12) & 0x3F));
        byte(0x80 | ((code_point >> 6) & 0x3F));
        byte(0x80 | (code_point & 0x3F));
    }
}

}  // namespace

std::string quote_message(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (std::size_t pos = 0; pos < text.size();) {
        const char32_t code_point = next_code_point(text, pos);
        switch (code_point) {
            case U'\0': out += "\\0"; break;
            case U'\t': out += "\\t"; break;
            case U'\r': out += "\\r"; break;
            case U'\n': out += "\\n"; break;
            case U'"': out += "\\\""; break;
            case U'\\': out += "\\\\"; break;
            default:
                if (code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F)) {
                    char digits[8];
                    const auto end = std::to_chars(digits, digits + sizeof digits,
                                                   static_cast<std::uint32_t>(code_point), 16)
                                         .ptr;
                    out += "\\u{";
                    out.append(digits, static_cast<std::size_t>(end - digits));
                    out += '}';
                } else {
                    append_utf8(out, code_point);
                }
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
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t unit = text[i];
        if (unit >= 0xDC00 && unit <= 0xDFFF) return std::nullopt;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                return std::nullopt;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00u);
        }
        append_utf8(out, unit);
    }
    return out;
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

    const auto step = [](Step point, auto&& operation) {
        const int fault = injected_fault(point);
        return fault != 0 ? fault : operation();
    };
    // Room first: a full disk or a size limit strikes before any old byte is touched.
    int error = step(Step::reserve, [&] { return file.reserve(old_size, new_size); });
    if (error != 0) {
        std::uint64_t now = old_size;
        if (file.size(now) == 0 && now != old_size) file.set_length(old_size);
        return error;
    }
    // Best effort: the original failure is what the caller hears about.
    const auto put_back = [&] {
        if (!readable) return;
        file.write_at(0, old);
        file.set_length(old_size);
        file.sync();
    };

    // Each piece is written as it comes; never past the room reserved.
    class Writer final : public Contents::Output {
    public:
        Writer(InPlaceFile& file, std::uint64_t limit) : file_(file), limit_(limit) {}
        int write(std::span<const std::uint8_t> piece) override {
            // More than announced would pass the reservation: refused like a short write.
            if (piece.size() > limit_ - offset_) return write_zero;
            if (const int fault = injected_fault(Step::write_piece); fault != 0) return fault;
            if (const int error = file_.write_at(offset_, piece); error != 0) return error;
            offset_ += piece.size();
            return 0;
        }
        std::uint64_t offset() const { return offset_; }

    private:
        InPlaceFile& file_;
        std::uint64_t limit_;
        std::uint64_t offset_ = 0;
    };
    Writer writer(file, new_size);
    try {
        error = data.produce(writer);
    } catch (...) {
        put_back();
        throw;
    }
    if (error == 0 && writer.offset() != new_size) error = write_zero;  // fewer than announced
    if (error == 0) error = injected_fault(Step::write);
    if (error == 0 && new_size < old_size) {
        if (!whole) error = step(Step::sync, [&] { return file.sync(); });
        if (error == 0) error = step(Step::truncate, [&] { return file.set_length(new_size); });
    }
    if (error == 0) error = step(Step::sync, [&] { return file.sync(); });
    if (error == 0) return 0;
    put_back();
    return error;
}

}  // namespace pyqelm::fileio::detail
