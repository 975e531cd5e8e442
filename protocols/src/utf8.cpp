// UTF-8 decoding, validation, encoding and escapes, and the UTF-16 conversions.
#include "protocols/utf8.hpp"

#include <charconv>
#include <cstdint>

namespace protocols::utf8 {

Step decode_step(std::string_view text, std::size_t pos) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
    const std::size_t available = text.size() - pos;
    const unsigned char lead = *p;
    if (lead < 0x80) return {lead, 1, true};
    std::size_t extra = 0;
    std::uint32_t code_point = 0;
    unsigned char low = 0x80;  // allowed range of the next continuation byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        code_point = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        code_point = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        code_point = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return {REPLACEMENT_CHARACTER, 1, false};
    }
    for (std::size_t i = 1; i <= extra; ++i) {
        if (i == available || p[i] < low || p[i] > high) return {REPLACEMENT_CHARACTER, i, false};
        code_point = (code_point << 6) | (p[i] & 0x3Fu);
        low = 0x80;
        high = 0xBF;
    }
    return {static_cast<char32_t>(code_point), extra + 1, true};
}

bool is_valid(std::string_view text) noexcept {
    for (std::size_t pos = 0; pos < text.size();) {
        if (static_cast<unsigned char>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const Step step = decode_step(text, pos);
        if (!step.valid) return false;
        pos += step.length;
    }
    return true;
}

void append(std::string& out, char32_t code_point) {
    const auto byte = [&out](std::uint32_t value) { out.push_back(static_cast<char>(value)); };
    const auto cp = static_cast<std::uint32_t>(code_point);
    if (cp < 0x80) {
        byte(cp);
    } else if (cp < 0x800) {
        byte(0xC0 | (cp >> 6));
        byte(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        byte(0xE0 | (cp >> 12));
        byte(0x80 | ((cp >> 6) & 0x3F));
        byte(0x80 | (cp & 0x3F));
    } else {
        byte(0xF0 | (cp >> 18));
        byte(0x80 | ((cp >> 12) & 0x3F));
        byte(0x80 | ((cp >> 6) & 0x3F));
        byte(0x80 | (cp & 0x3F));
    }
}

namespace {

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The code point at text[i], moving i past a surrogate pair; std::nullopt for an unpaired
// surrogate.
std::optional<char32_t> utf16_step(std::u16string_view text, std::size_t& i) noexcept {
    const char32_t unit = text[i];
    if (is_low_surrogate(unit)) return std::nullopt;
    if (!is_high_surrogate(unit)) return unit;
    if (i + 1 == text.size() || !is_low_surrogate(text[i + 1])) return std::nullopt;
    const char32_t low = text[++i];
    return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
}

}  // namespace

std::optional<std::string> from_utf16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::optional<char32_t> code_point = utf16_step(text, i);
        if (!code_point) return std::nullopt;
        append(out, *code_point);
    }
    return out;
}

std::optional<std::u16string> to_utf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const Step step = decode_step(text, pos);
        if (!step.valid) return std::nullopt;
        pos += step.length;
        if (step.code_point < 0x10000) {
            out.push_back(static_cast<char16_t>(step.code_point));
        } else {
            const char32_t offset = step.code_point - 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
        }
    }
    return out;
}

bool is_valid_utf16(std::u16string_view text) noexcept {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!utf16_step(text, i)) return false;
    }
    return true;
}

std::string_view short_escape(char32_t code_point) noexcept {
    switch (code_point) {
        case U'"': return "\\\"";
        case U'\\': return "\\\\";
        case U'\t': return "\\t";
        case U'\r': return "\\r";
        case U'\n': return "\\n";
        case U'\0': return "\\0";
        default: return {};
    }
}

void append_code_point_escape(std::string& out, char32_t code_point) {
    char buf[16] = {'\\', 'u', '{'};
    char* p =
        std::to_chars(buf + 3, buf + sizeof buf, static_cast<std::uint32_t>(code_point), 16).ptr;
    *p++ = '}';
    out.append(buf, p);
}

}  // namespace protocols::utf8
