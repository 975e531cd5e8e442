// Error descriptions of the file layer, shared by the POSIX and Windows implementations so that
// both spell a failure the same way.
#include "fileio.hpp"

#include <cstddef>

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

std::uint64_t temp_name_bits(std::uint64_t clock, std::uint64_t process, std::uint64_t count) {
    std::uint64_t x = clock ^ (process << 32) ^ (count * 0x9E3779B97F4A7C15u);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9u;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBu;
    x ^= x >> 31;
    return x;
}

}  // namespace pyqelm::fileio::detail
