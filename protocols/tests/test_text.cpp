// The text form: float layout, quoting of coil names, the escape table, and the exact text of
// the default records and of every signal variant.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "environment.hpp"
#include "protocols/text.hpp"

namespace protocols {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return lines;
        start = end + 1;
    }
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
    return text;
}

// ---------------------------------------------------------------------------------------------
// Floats

struct FloatCase {
    double value;
    const char* text;
};

class FloatText : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatText, Layout) {
    EXPECT_EQ(format_float(GetParam().value), GetParam().text);
    std::string out = "x=";
    append_float(out, GetParam().value);
    EXPECT_EQ(out, std::string("x=") + GetParam().text);
}

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Values, FloatText,
    ::testing::Values(
        // Positional, with at least one digit after the point.
        FloatCase{60.0, "60.0"}, FloatCase{0.3, "0.3"}, FloatCase{0.1, "0.1"},
        FloatCase{1.0, "1.0"}, FloatCase{-1234.5, "-1234.5"}, FloatCase{123456.789, "123456.789"},
        FloatCase{22.624434389140273, "22.624434389140273"},
        FloatCase{0.1 + 0.2, "0.30000000000000004"}, FloatCase{0.00012, "0.00012"},
        FloatCase{9007199254740992.0, "9007199254740992.0"}, FloatCase{1e15, "1000000000000000.0"},
        FloatCase{1e15 + 0.3, "1000000000000000.2"},
        // Zeros.
        FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"},
        // The lower boundary: 0.0001 is positional, the float just below it is not.
        FloatCase{0.0001, "0.0001"}, FloatCase{-0.0001, "-0.0001"},
        FloatCase{9.999999999999999e-5, "9.999999999999999e-5"}, FloatCase{9e-5, "9e-5"},
        FloatCase{0.00001, "1e-5"}, FloatCase{0.000015, "1.5e-5"},
        FloatCase{-6.666666666666667e-5, "-6.666666666666667e-5"},
        // The upper boundary: 1e16 is scientific, the float just below it is not.
        FloatCase{9999999999999998.0, "9999999999999998.0"}, FloatCase{1e16, "1e16"},
        FloatCase{-1e16, "-1e16"}, FloatCase{123456789012345680.0, "1.2345678901234568e17"},
        FloatCase{1e100, "1e100"}, FloatCase{-1.5e300, "-1.5e300"},
        // Extremes and denormals.
        FloatCase{1.7976931348623157e308, "1.7976931348623157e308"},
        FloatCase{-1.7976931348623157e308, "-1.7976931348623157e308"},
        FloatCase{2.2250738585072014e-308, "2.2250738585072014e-308"},
        FloatCase{2.225073858507201e-308, "2.225073858507201e-308"}, FloatCase{1e-310, "1e-310"},
        FloatCase{5e-324, "5e-324"}, FloatCase{-5e-324, "-5e-324"},
        // Non-finite; the sign of a NaN is not shown.
        FloatCase{nan, "NaN"}, FloatCase{-nan, "NaN"}, FloatCase{inf, "inf"},
        FloatCase{-inf, "-inf"}));

// Whatever the bit pattern, the text reads back as the same float, uses the scientific form
// exactly outside [0.0001, 1e16), and has no "+" nor leading exponent zeros.
TEST(FloatTextProperty, RandomBitPatternsRoundTrip) {
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 50000; ++i) {
        // Half raw bit patterns, half full-precision values from 1e-30 to 1e18, which spans
        // both layout boundaries.
        const double value =
            (i % 2 == 0) ? std::bit_cast<double>(rng())
                         : std::ldexp(static_cast<double>(rng() >> 11), (i / 2) % 110 - 100);
        if (std::isnan(value)) continue;
        const std::string text = format_float(value);
        SCOPED_TRACE(text);
        const double back = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value));
        const double magnitude = std::fabs(value);
        const bool positional =
            std::isfinite(value) && (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16));
        const std::size_t e = text.find('e');
        ASSERT_EQ(e == std::string::npos, positional || std::isinf(value));
        if (positional) {
            const std::size_t point = text.find('.');
            ASSERT_NE(point, std::string::npos);
            ASSERT_LT(point + 1, text.size());
        } else if (e != std::string::npos) {
            ASSERT_EQ(text.find('+'), std::string::npos);
            const std::size_t first_exponent_digit = e + 1 + (text[e + 1] == '-');
            ASSERT_NE(text[first_exponent_digit], '0');
            ASSERT_LE(e, 19u);  // at most 17 significant digits, a point and a sign
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Coil names

struct QuotedCase {
    const char* label;
    std::string utf8;
    std::string quoted;
};

class QuotedText : public ::testing::TestWithParam<QuotedCase> {};

TEST_P(QuotedText, Escapes) {
    std::string out = "name: ";
    append_quoted(out, GetParam().utf8);
    EXPECT_EQ(out, "name: " + GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(
    Values, QuotedText,
    ::testing::Values(
        QuotedCase{"Empty", "", "\"\""}, QuotedCase{"Blank", "a b", "\"a b\""},
        QuotedCase{"SingleQuote", "it's", "\"it's\""},
        QuotedCase{"DoubleQuote", "a\"b", "\"a\\\"b\""},
        QuotedCase{"Backslash", "a\\b", "\"a\\\\b\""}, QuotedCase{"Tab", "a\tb", "\"a\\tb\""},
        QuotedCase{"CarriageReturn", "\r", "\"\\r\""}, QuotedCase{"LineFeed", "\n", "\"\\n\""},
        QuotedCase{"Nul", std::string("a\0b", 3), "\"a\\0b\""},
        QuotedCase{"OtherControl", "\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
        QuotedCase{"C1Control", "\xc2\x85", "\"\\u{85}\""},
        QuotedCase{"SoftHyphenCf", "soft\xc2\xadhyphen", "\"soft\\u{ad}hyphen\""},
        QuotedCase{"CombiningAcuteGraphemeExtend", "e\xcc\x81", "\"e\\u{301}\""},
        QuotedCase{"ZeroWidthSpace", "\xe2\x80\x8b", "\"\\u{200b}\""},
        QuotedCase{"LineSeparatorZl", "\xe2\x80\xa8", "\"\\u{2028}\""},
        QuotedCase{"ParagraphSeparatorZp", "\xe2\x80\xa9", "\"\\u{2029}\""},
        QuotedCase{"NoBreakSpaceZs", "\xc2\xa0", "\"\\u{a0}\""},
        QuotedCase{"PrivateUseCo", "\xee\x80\x80", "\"\\u{e000}\""},
        QuotedCase{"PlaneSixteenPrivateUse", "\xf4\x8f\xbf\xbd", "\"\\u{10fffd}\""},
        QuotedCase{"UnassignedCn", "\xcd\xb8", "\"\\u{378}\""},
        QuotedCase{"VariationSelector", "\xe2\x9d\xa4\xef\xb8\x8f", "\"\xe2\x9d\xa4\\u{fe0f}\""},
        QuotedCase{"EmojiKept", "\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
        QuotedCase{"AccentedLetterKept", "caf\xc3\xa9", "\"caf\xc3\xa9\""},
        QuotedCase{"ReplacementCharacterKept", "\xef\xbf\xbd", "\"\xef\xbf\xbd\""},
        // Ill-formed input: one escaped U+FFFD per maximal ill-formed subsequence.
        QuotedCase{"StrayContinuation", "a\x80z", "\"a\\u{fffd}z\""},
        QuotedCase{"InvalidLead", "\xff\xc0", "\"\\u{fffd}\\u{fffd}\""},
        QuotedCase{"TruncatedThenAscii", "\xe2\x82z", "\"\\u{fffd}z\""},
        QuotedCase{"TruncatedAtEnd", "a\xf0\x9f\x98", "\"a\\u{fffd}\""},
        QuotedCase{"EncodedSurrogate", "\xed\xa0\x80", "\"\\u{fffd}\\u{fffd}\\u{fffd}\""},
        QuotedCase{"Overlong", "\xe0\x80\xaf", "\"\\u{fffd}\\u{fffd}\\u{fffd}\""},
        QuotedCase{"AboveMaximum", "\xf4\x90\x80\x80", "\"\\u{fffd}\\u{fffd}\\u{fffd}\\u{fffd}\""}),
    [](const auto& test) { return std::string(test.param.label); });

struct TableCase {
    char32_t code_point;
    bool escaped;
};

class EscapeTable : public ::testing::TestWithParam<TableCase> {};

TEST_P(EscapeTable, Membership) {
    EXPECT_EQ(is_escaped_in_text(GetParam().code_point), GetParam().escaped)
        << std::hex << static_cast<std::uint32_t>(GetParam().code_point);
}

INSTANTIATE_TEST_SUITE_P(
    CodePoints, EscapeTable,
    ::testing::Values(
        TableCase{0x20, false}, TableCase{0x7F, true}, TableCase{0x9F, true},
        TableCase{0xA1, false}, TableCase{0x36F, true}, TableCase{0x370, false},
        TableCase{0x1680, true}, TableCase{0xFEFF, true}, TableCase{0xFFFD, false},
        TableCase{0xE0001, true},
        // Grapheme_Extend through Other_Grapheme_Extend, not through Mn or Me; a spacing mark
        // and an emoji modifier that are not Grapheme_Extend.
        TableCase{0x9BE, true}, TableCase{0xFF9E, true}, TableCase{0x200C, true},
        TableCase{0x903, false}, TableCase{0x1F3FB, false},
        // Blocks that UnicodeData.txt lists as First/Last pairs, with their neighbours.
        TableCase{0x3400, false}, TableCase{0x4DBF, false}, TableCase{0x4E00, false},
        TableCase{0x9FFF, false}, TableCase{0xAC00, false}, TableCase{0xD7A3, false},
        TableCase{0xD7A4, true}, TableCase{0xD800, true}, TableCase{0xDFFF, true},
        TableCase{0xF8FF, true}, TableCase{0xF900, false}, TableCase{0x31350, false},
        TableCase{0x323AF, false}, TableCase{0x323B0, true}, TableCase{0xF0000, true},
        TableCase{0xFFFFD, true}, TableCase{0xFFFFE, true}, TableCase{0x10FFFF, true}));

// ---------------------------------------------------------------------------------------------
// Records

TEST(RecordText, SourceSelection) {
    EXPECT_EQ(to_text(SignalSourceSelection{}),
              "SignalSourceSelection {\n"
              "    internal: 0,\n"
              "    external: 0,\n"
              "    external_selected: false,\n"
              "}");
}

TEST(RecordText, ErrorCodeNames) {
    EXPECT_EQ(to_text(ErrorCode::ConfigError), "ConfigError");
    EXPECT_EQ(to_text(ErrorCode::OverCoilCurrent), "OverCoilCurrent");
    EXPECT_EQ(to_text(ErrorCode::Unintialized), "Unintialized");
}

struct SignalCase {
    const char* label;
    Signal signal;
    std::vector<std::string> lines;
};

class SignalText : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalText, Lines) { EXPECT_EQ(to_text(GetParam().signal), joined(GetParam().lines)); }

INSTANTIATE_TEST_SUITE_P(
    Variants, SignalText,
    ::testing::Values(SignalCase{"Constant",
                                 ConstantSignalParams{0.5},
                                 {"Constant(", "    ConstantSignalParams {", "        value: 0.5,",
                                  "    },", ")"}},
                      SignalCase{"Sine",
                                 SineSignalParams{1.0, 10.0, -0.25, 1e-5},
                                 {"Sine(", "    SineSignalParams {", "        amplitude: 1.0,",
                                  "        frequency: 10.0,", "        phase: -0.25,",
                                  "        depth: 1e-5,", "    },", ")"}},
                      SignalCase{"Ramp",
                                 RampSignalParams{0.75, 2.0, 0.5},
                                 {"Ramp(", "    RampSignalParams {", "        peak: 0.75,",
                                  "        up_duration: 2.0,", "        down_duration: 0.5,",
                                  "    },", ")"}},
                      SignalCase{"MixedSignal",
                                 MixedSignalParams{3, 18446744073709551615u},
                                 {"MixedSignal(", "    MixedSignalParams {", "        a_idx: 3,",
                                  "        b_idx: 18446744073709551615,", "    },", ")"}},
                      SignalCase{"Arbitrary",
                                 ArbitrarySignalParams{SampleVector{0, 16384, 32767}},
                                 {"Arbitrary(", "    ArbitrarySignalParams {", "        samples: [",
                                  "            0,", "            16384,", "            32767,",
                                  "        ],", "    },", ")"}}),
    [](const auto& test) { return std::string(test.param.label); });

TEST(RecordText, DefaultCoil) {
    const std::string text = to_text(MachineConfig::make_default().coils.at(0));
    EXPECT_EQ(lines_of(text), (std::vector<std::string>{
                                  "Coil {",
                                  "    name: \"Default\",",
                                  "    inductance: 150.0,",
                                  "    max_current: 0.1,",
                                  "    max_carrier_frequency: 40.0,",
                                  "    settings: [",
                                  "        LCSetting {",
                                  "            capacitance: 330.0,",
                                  "            carrier_frequency: 22.624434389140273,",
                                  "            clk_ticks_per_sample: 221,",
                                  "            capacitor_bank_setting: 1,",
                                  "        },",
                                  "    ],",
                                  "}",
                              }));
}

TEST(RecordText, DefaultMachineConfig) {
    const std::vector<std::string> lines = lines_of(to_text(MachineConfig::make_default()));
    ASSERT_EQ(lines.size(), 37u);
    const std::vector<std::string> last_seven(lines.end() - 7, lines.end());
    EXPECT_EQ(last_seven, (std::vector<std::string>{
                              "    max_intensity_setpoint: 0.3,",
                              "    max_current: 0.5,",
                              "    max_carrier_frequency: 40.0,",
                              "    max_temperature: 40.0,",
                              "    min_flowrate: 70.0,",
                              "    max_power: 520.0,",
                              "}",
                          }));
    EXPECT_EQ(lines[19], "    capacitors: [");
    EXPECT_EQ(lines[20], "        330.0,");
    EXPECT_EQ(lines[21], "    ],");
    EXPECT_EQ(lines[22], "    possible_capacitances: [");
}

class DefaultProtocolText : public ::testing::Test {
protected:
    void SetUp() override {
        test_env::clear_target_machine();
        Protocol protocol{Settings::make_default()};
        protocol.settings.signals.clear();
        text = to_text(protocol);
        lines = lines_of(text);
    }
    std::string text;
    std::vector<std::string> lines;
};

TEST_F(DefaultProtocolText, Size) {
    EXPECT_EQ(lines.size(), 104u);
    EXPECT_EQ(text.size(), 3101u);
}

TEST_F(DefaultProtocolText, Landmarks) {
    ASSERT_EQ(lines.size(), 104u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
              (std::vector<std::string>{"Protocol {", "    settings: Settings {",
                                        "        running_on_target_machine: false,",
                                        "        machine_config: MachineConfig {"}));
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"        monitor_subsampling_factor: 1,", "    },", "}"}));
    EXPECT_EQ(lines[8], "                    name: \"Default\",");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "        signals: [],"), 1);

    const auto monitor = std::find(lines.begin(), lines.end(), "        monitor_trace_visible: [");
    ASSERT_LE(monitor + 18, lines.end());
    EXPECT_EQ(std::count(monitor + 1, monitor + 17, "            false,"), 16);
    EXPECT_EQ(monitor[17], "        ],");
}

TEST(RecordText, DefaultSignalInsideProtocol) {
    test_env::clear_target_machine();
    const std::string text = to_text(Protocol{Settings::make_default()});
    EXPECT_NE(text.find("\n        signals: [\n"
                        "            Constant(\n"
                        "                ConstantSignalParams {\n"
                        "                    value: 0.0,\n"
                        "                },\n"
                        "            ),\n"
                        "        ],\n"),
              std::string::npos)
        << text;
}

// A protocol that uses every kind of field at once, with a coil name full of characters that
// would break lines if they were not escaped: the text keeps its line structure.
TEST(RecordText, LineStructureOfBusyProtocol) {
    Protocol protocol{Settings::make_default()};
    protocol.settings.running_on_target_machine = true;
    protocol.settings.machine_config.coils.at(0).name = std::string("a\nb\r\xe2\x80\xa8\0 ", 9);
    protocol.settings.machine_config.coils.push_back(protocol.settings.machine_config.coils[0]);
    protocol.settings.machine_config.coils[1].settings.clear();
    protocol.settings.machine_config.possible_capacitances.clear();
    protocol.settings.monitor_trace_visible[15] = true;
    protocol.settings.signals = {SineSignalParams{1.0, 2.0, 0.0, 1.0}, MixedSignalParams{0, 1},
                                 ArbitrarySignalParams{SampleVector{1, 2}},
                                 RampSignalParams{1.0, nan, -inf}};
    const std::string text = to_text(protocol);
    const std::vector<std::string> lines = lines_of(text);

    // Every line stands one level below the innermost open record, signal or list.
    int depth = 0;
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        ASSERT_FALSE(line.empty());
        ASSERT_NE(line.back(), ' ');
        const std::size_t indent = line.find_first_not_of(' ');
        if (std::string_view("})]").find(line[indent]) != std::string_view::npos) --depth;
        ASSERT_GE(depth, 0);
        ASSERT_EQ(indent, static_cast<std::size_t>(depth) * 4);
        const char last = line.back() == ',' ? line[line.size() - 2] : line.back();
        if (std::string_view("{([").find(last) != std::string_view::npos) ++depth;
    }
    EXPECT_EQ(depth, 0);
    EXPECT_NE(text.find("\n                    name: \"a\\nb\\r\\u{2028}\\0 \",\n"),
              std::string::npos);
    EXPECT_NE(text.find("\n                    settings: [],\n"), std::string::npos);
    EXPECT_NE(text.find("\n            possible_capacitances: [],\n"), std::string::npos);
    EXPECT_NE(text.find("\n                    up_duration: NaN,\n"
                        "                    down_duration: -inf,\n"),
              std::string::npos);
    EXPECT_EQ(lines[lines.size() - 5], "            true,");
}

// Lists of scalars take a separate path sized for the longest token; a list made only of the
// longest float texts shows an undersized bound as damaged or missing text at its end.
TEST(RecordText, LongestFloatsInLists) {
    MachineConfig config = MachineConfig::make_default();
    config.coils.clear();
    config.capacitors = {-2.2250738585072014e-308, -1.2345678901234568e-300,
                         -1.0000000000000001e-100, -2.2250738585072014e-308};
    config.possible_capacitances = {-0.00012345678901234567, -9999999999999998.0};
    const std::vector<std::string> lines = lines_of(to_text(config));
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.begin() + 14),
              (std::vector<std::string>{
                  "    capacitors: [", "        -2.2250738585072014e-308,",
                  "        -1.2345678901234568e-300,", "        -1.0000000000000001e-100,",
                  "        -2.2250738585072014e-308,", "    ],", "    possible_capacitances: [",
                  "        -0.00012345678901234567,", "        -9999999999999998.0,", "    ],"}));
}

// A long arbitrary signal, as a whole session produces one, against lines built one by one.
TEST(RecordText, LongArbitrarySignalInsideProtocol) {
    Protocol protocol{Settings::make_default()};
    protocol.settings.signals.clear();
    ArbitrarySignalParams arbitrary;
    arbitrary.samples.resize(300000);
    for (std::size_t i = 0; i < arbitrary.samples.size(); ++i) {
        arbitrary.samples[i] =
            static_cast<std::int16_t>(static_cast<std::int32_t>(i * 7919 % 65536) - 32768);
    }
    arbitrary.samples.front() = -32768;
    arbitrary.samples.back() = 32767;
    protocol.settings.signals.push_back(arbitrary);

    std::string expected_samples = "\n                    samples: [";
    for (const std::int16_t sample : arbitrary.samples) {
        expected_samples += "\n                        " + std::to_string(sample) + ",";
    }
    expected_samples +=
        "\n                    ],\n                },\n            ),\n        ],\n";

    const std::string text = to_text(protocol);
    const std::size_t at = text.find("\n                    samples: [");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(text.compare(at, expected_samples.size(), expected_samples), 0);
    EXPECT_EQ(lines_of(text).size(), 104u + 300000u + 7u);
}

}  // namespace
}  // namespace protocols
