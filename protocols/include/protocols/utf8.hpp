// UTF-8 in one place: validation, decoding step by step, encoding, the conversions to and from
// UTF-16 that the Windows interfaces need, and the escapes that quoted text uses. The text
// form, the environment lookup, the decoder and the file layer's error texts all read text
// through these functions, so they agree on what is well-formed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace protocols::utf8 {

inline constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;
inline constexpr char32_t MAX_CODE_POINT = 0x10FFFF;

// One decoding step. A well-formed sequence gives its code point and length. An ill-formed
// one gives U+FFFD and the length of its maximal subpart (the lead byte and the continuation
// bytes that were still acceptable, at least one byte), so each ill-formed stretch is replaced
// once, as the Unicode standard recommends.
struct Step {
    char32_t code_point;
    std::size_t length;
    bool valid;
};
// `pos` must be below text.size().
Step decode_step(std::string_view text, std::size_t pos) noexcept;

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncation.
bool is_valid(std::string_view text) noexcept;

// Appends the encoding of `code_point` (a Unicode scalar value) to `out`.
void append(std::string& out, char32_t code_point);

// UTF-16 to UTF-8; std::nullopt when `text` holds an unpaired surrogate.
std::optional<std::string> from_utf16(std::u16string_view text);
// UTF-8 to UTF-16; std::nullopt when `text` is not well-formed UTF-8.
std::optional<std::u16string> to_utf16(std::string_view text);
// True when every surrogate of `text` is paired.
bool is_valid_utf16(std::u16string_view text) noexcept;

// Escapes of quoted text. The short escape of a character that has one ("\"", "\\", "\t",
// "\r", "\n", "\0"), else an empty view.
std::string_view short_escape(char32_t code_point) noexcept;
// Appends "\u{hex}" with the code point in lower-case hexadecimal digits.
void append_code_point_escape(std::string& out, char32_t code_point);

}  // namespace protocols::utf8
