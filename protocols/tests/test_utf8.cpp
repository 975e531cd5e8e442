// The UTF-8 unit: decoding steps with their U+FFFD substitution, validation, encoding, the
// UTF-16 conversions and the escapes of quoted text.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocols/settings.hpp"
#include "protocols/utf8.hpp"

namespace protocols::utf8 {
namespace {

constexpr char32_t FFFD = REPLACEMENT_CHARACTER;

// (code point, bytes consumed); U+FFFD stands for an ill-formed stretch.
using Steps = std::vector<std::pair<char32_t, std::size_t>>;

struct DecodeCase {
    const char* label;
    std::string bytes;
    Steps steps;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.label; }

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, StepsAndValidity) {
    const DecodeCase& c = GetParam();
    Steps steps;
    bool all_valid = true;
    for (std::size_t pos = 0; pos < c.bytes.size();) {
        const Step step = decode_step(c.bytes, pos);
        ASSERT_GE(step.length, 1u);
        // Only a sequence that really is U+FFFD may be valid and still give U+FFFD.
        if (!step.valid) {
            EXPECT_EQ(step.code_point, FFFD);
        }
        all_valid = all_valid && step.valid;
        steps.emplace_back(step.code_point, step.length);
        pos += step.length;
    }
    EXPECT_EQ(steps, c.steps);
    EXPECT_EQ(is_valid(c.bytes), all_valid);
    EXPECT_EQ(is_valid_utf8(c.bytes), all_valid);  // the library's name for the same check
    // A well-formed text survives the trip through UTF-16; an ill-formed one is refused.
    const std::optional<std::u16string> wide = to_utf16(c.bytes);
    ASSERT_EQ(wide.has_value(), all_valid);
    if (wide) {
        EXPECT_EQ(from_utf16(*wide), c.bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Decode,
    ::testing::Values(
        DecodeCase{"empty", "", {}},
        DecodeCase{"ascii", "a\tb", {{U'a', 1}, {U'\t', 1}, {U'b', 1}}},
        DecodeCase{"nul", std::string("a\0b", 3), {{U'a', 1}, {0, 1}, {U'b', 1}}},
        DecodeCase{"two_bytes", "caf\xc3\xa9", {{U'c', 1}, {U'a', 1}, {U'f', 1}, {0xE9, 2}}},
        DecodeCase{"three_bytes", "\xe2\x82\xac", {{0x20AC, 3}}},
        DecodeCase{"four_bytes", "\xf0\x9f\x98\x80", {{0x1F600, 4}}},
        DecodeCase{"real_fffd", "\xef\xbf\xbd", {{FFFD, 3}}},
        DecodeCase{"max_code_point", "\xf4\x8f\xbf\xbf", {{MAX_CODE_POINT, 4}}},
        DecodeCase{"above_max", "\xf4\x90\x80\x80", {{FFFD, 1}, {FFFD, 1}, {FFFD, 1}, {FFFD, 1}}},
        DecodeCase{"lead_above_f4", "\xf5\x80", {{FFFD, 1}, {FFFD, 1}}},
        DecodeCase{"overlong_two", "\xc0\xaf", {{FFFD, 1}, {FFFD, 1}}},
        DecodeCase{"overlong_c1", "\xc1\xbf", {{FFFD, 1}, {FFFD, 1}}},
        DecodeCase{"overlong_three", "\xe0\x80\xaf", {{FFFD, 1}, {FFFD, 1}, {FFFD, 1}}},
        DecodeCase{
            "overlong_four", "\xf0\x8f\xbf\xbf", {{FFFD, 1}, {FFFD, 1}, {FFFD, 1}, {FFFD, 1}}},
        DecodeCase{"smallest_three", "\xe0\xa0\x80", {{0x800, 3}}},
        DecodeCase{"high_surrogate", "\xed\xa0\x80", {{FFFD, 1}, {FFFD, 1}, {FFFD, 1}}},
        DecodeCase{"low_surrogate", "\xed\xbf\xbf", {{FFFD, 1}, {FFFD, 1}, {FFFD, 1}}},
        DecodeCase{"below_surrogates", "\xed\x9f\xbf", {{0xD7FF, 3}}},
        DecodeCase{"truncated_at_end", "\xe2\x82", {{FFFD, 2}}},
        DecodeCase{"truncated_then_ascii",
                   "\xf0\x9f\x98"
                   "A",
                   {{FFFD, 3}, {U'A', 1}}},
        DecodeCase{"truncated_then_lead", "\xc3\xc3\xa9", {{FFFD, 1}, {0xE9, 2}}},
        DecodeCase{"lone_continuation", "\x80", {{FFFD, 1}}},
        DecodeCase{"lone_ff",
                   "a\xff"
                   "b",
                   {{U'a', 1}, {FFFD, 1}, {U'b', 1}}}),
    [](const auto& test) { return std::string(test.param.label); });

class Encode : public ::testing::TestWithParam<std::pair<char32_t, std::size_t>> {};

TEST_P(Encode, RoundTripsThroughDecode) {
    const auto [code_point, length] = GetParam();
    std::string out = "x";
    append(out, code_point);
    ASSERT_EQ(out.size(), 1 + length);
    const Step step = decode_step(out, 1);
    EXPECT_TRUE(step.valid);
    EXPECT_EQ(step.code_point, code_point);
    EXPECT_EQ(step.length, length);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Encode,
    ::testing::Values(std::pair{U'\0', 1u}, std::pair{U'\x7f', 1u}, std::pair{U'\x80', 2u},
                      std::pair{U'\x7ff', 2u}, std::pair{U'\x800', 3u}, std::pair{U'\xd7ff', 3u},
                      std::pair{U'\xe000', 3u}, std::pair{U'\xffff', 3u}, std::pair{U'\x10000', 4u},
                      std::pair{MAX_CODE_POINT, 4u}));

struct Utf16Case {
    const char* label;
    std::u16string text;
    std::optional<std::string> utf8;
};

void PrintTo(const Utf16Case& c, std::ostream* os) { *os << c.label; }

class Utf16 : public ::testing::TestWithParam<Utf16Case> {};

TEST_P(Utf16, ToUtf8) {
    const Utf16Case& c = GetParam();
    EXPECT_EQ(from_utf16(c.text), c.utf8);
    EXPECT_EQ(is_valid_utf16(c.text), c.utf8.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Units, Utf16,
    ::testing::Values(Utf16Case{"empty", u"", ""},
                      Utf16Case{"bmp", u"caf\u00e9\u20ac", "caf\xc3\xa9\xe2\x82\xac"},
                      Utf16Case{"pair", u"\U0001F600", "\xf0\x9f\x98\x80"},
                      Utf16Case{"max_pair", u"\U0010FFFF", "\xf4\x8f\xbf\xbf"},
                      Utf16Case{"lone_high_at_end", std::u16string{u'a', 0xD800}, std::nullopt},
                      Utf16Case{"high_then_ascii", std::u16string{0xD83D, u'a'}, std::nullopt},
                      Utf16Case{"lone_low", std::u16string{0xDE00, u'a'}, std::nullopt},
                      Utf16Case{"swapped_pair", std::u16string{0xDE00, 0xD83D}, std::nullopt}),
    [](const auto& test) { return std::string(test.param.label); });

TEST(Escapes, ShortFormsAndCodePoints) {
    EXPECT_EQ(short_escape(U'"'), "\\\"");
    EXPECT_EQ(short_escape(U'\\'), "\\\\");
    EXPECT_EQ(short_escape(U'\t'), "\\t");
    EXPECT_EQ(short_escape(U'\r'), "\\r");
    EXPECT_EQ(short_escape(U'\n'), "\\n");
    EXPECT_EQ(short_escape(U'\0'), "\\0");
    for (const char32_t c : {U'a', U'\x1b', U'\x7f', U'\x2028'}) EXPECT_EQ(short_escape(c), "");
    std::string out;
    append_code_point_escape(out, 0x1B);
    append_code_point_escape(out, FFFD);
    append_code_point_escape(out, MAX_CODE_POINT);
    EXPECT_EQ(out, "\\u{1b}\\u{fffd}\\u{10ffff}");
}

}  // namespace
}  // namespace protocols::utf8
