// The strict decoder: round trips to equal records and identical bytes, one refusal per kind of
// malformed input with its offset and field path, and no crash on any damaged file.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "environment.hpp"
#include "protocols/decoding.hpp"
#include "protocols/encoding.hpp"
#include "protocols/settings.hpp"
#include "sample_files.hpp"

namespace protocols {
namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

Settings default_settings() {
    test_env::clear_target_machine();
    return Settings::make_default();
}

using test_files::encode;

std::string describe(const DecodeResult& r) {
    if (const auto* e = std::get_if<DecodeError>(&r)) return e->to_string();
    return "decoded";
}

// --- round trips ---------------------------------------------------------------------------------

struct RoundTripCase {
    const char* name;
    std::function<void(Settings&)> change;

    friend void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }
};

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, EqualRecordAndIdenticalBytes) {
    Settings s = default_settings();
    GetParam().change(s);
    const ByteBuffer bytes = encode(s);
    const DecodeResult r = decode_settings(bytes);
    ASSERT_TRUE(std::holds_alternative<Settings>(r)) << describe(r);
    EXPECT_TRUE(std::get<Settings>(r) == s);
    EXPECT_TRUE(encode(std::get<Settings>(r)) == bytes);
}

SampleVector every_sample() {
    SampleVector samples;
    for (int v = -32768; v <= 32767; ++v) samples.push_back(static_cast<std::int16_t>(v));
    return samples;
}

INSTANTIATE_TEST_SUITE_P(
    Records, RoundTrip,
    ::testing::Values(
        RoundTripCase{"Default", [](Settings&) {}},
        RoundTripCase{"EveryKind",
                      [](Settings& s) {
                          s.signals = {ArbitrarySignalParams{{0, -1, 1000, 32767, -32768}},
                                       MixedSignalParams{2, 0},
                                       RampSignalParams{1.0, 0.25, 0.75},
                                       SineSignalParams{1.0, 10.0, 0.0, 0.5},
                                       ConstantSignalParams{-0.0},
                                       ArbitrarySignalParams{}};
                      }},
        RoundTripCase{"EverySample",
                      [](Settings& s) { s.signals = {ArbitrarySignalParams{every_sample()}}; }},
        RoundTripCase{"LargestIntegers",
                      [](Settings& s) {
                          MachineConfig& m = s.machine_config;
                          m.num_coils = m.num_external_signal_sources = u64_max;
                          m.num_temperature_sensors = m.num_flow_rate_sensors = u64_max;
                          m.coils[0].settings[0].clk_ticks_per_sample = u64_max;
                          m.coils[0].settings[0].capacitor_bank_setting = std::uint64_t{1} << 63;
                          s.signals = {MixedSignalParams{u64_max, 128}};
                          s.channel_b_settings = {true,
                                                  {u64_max, 0, false},
                                                  {0, u64_max, true},
                                                  {16383, 16384, true},
                                                  u64_max,
                                                  u64_max};
                          s.monitor_subsampling_factor = u64_max;
                      }},
        RoundTripCase{"ExtremeFloats",
                      [](Settings& s) {
                          const double inf = std::numeric_limits<double>::infinity();
                          s.intensity = -0.0;
                          s.session_duration = std::numeric_limits<double>::denorm_min();
                          s.machine_config.capacitors = {inf, -inf, -0.0,
                                                         std::numeric_limits<double>::max()};
                          s.machine_config.possible_capacitances.clear();
                      }},
        RoundTripCase{"NamesAndCoils",
                      [](Settings& s) {
                          Coil second = s.machine_config.coils[0];
                          second.name = "Spule \xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80";
                          second.settings.push_back({220.0, 27.77777777777778, 180, 2});
                          Coil unnamed = second;
                          unnamed.name.clear();
                          unnamed.settings.clear();
                          s.machine_config.coils.push_back(second);
                          s.machine_config.coils.push_back(unnamed);
                      }},
        RoundTripCase{"Flags",
                      [](Settings& s) {
                          s.machine_config.smbus_psu_connected = true;
                          s.machine_config.safety_checks_enabled = false;
                          for (std::size_t i = 0; i < 16; i += 3) s.monitor_trace_visible[i] = true;
                          s.channel_a_settings.enabled = false;
                      }}),
    [](const auto& test) { return std::string(test.param.name); });

// NaN compares unequal to itself, so here the bit patterns are compared instead.
TEST(RoundTripNaN, PayloadsAndSignsSurvive) {
    const std::vector<std::uint64_t> patterns = {0x7FF8000000000000, 0x7FF8000000000123,
                                                 0xFFF0000000000001, 0x7FF4000000000000};
    Settings s = default_settings();
    s.machine_config.capacitors.clear();
    for (std::uint64_t bits : patterns) {
        s.machine_config.capacitors.push_back(std::bit_cast<double>(bits));
    }
    s.signals = {SineSignalParams{std::bit_cast<double>(patterns[1]), 0.0, 0.0, 1.0}};
    const ByteBuffer bytes = encode(s);
    const DecodeResult r = decode_settings(bytes);
    ASSERT_TRUE(std::holds_alternative<Settings>(r)) << describe(r);
    const Settings& d = std::get<Settings>(r);
    ASSERT_EQ(d.machine_config.capacitors.size(), patterns.size());
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(d.machine_config.capacitors[i]), patterns[i]);
    }
    EXPECT_EQ(std::bit_cast<std::uint64_t>(std::get<SineSignalParams>(d.signals[0]).amplitude),
              patterns[1]);
    EXPECT_TRUE(encode(d) == bytes);
}

// --- refusals ------------------------------------------------------------------------------------

// Damages the encoding of a known record and names the refusal it must meet. Offsets in the
// default file: coils at 10, coil name at 11, clk_ticks_per_sample at 60,
// capacitor_bank_setting at 62, capacitors at 63, intensity at 134, signals at 150, channel B
// at 172, monitor flags at 184, monitor_subsampling_factor at 200; the file is 201 bytes.
struct MalformedCase {
    const char* name;
    std::function<void(Settings&)> setup;
    std::function<void(ByteBuffer&)> damage;
    const char* error;

    friend void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }
};

void put(ByteBuffer& b, std::size_t offset, std::size_t replaced, ByteBuffer bytes) {
    const auto at = b.begin() + static_cast<std::ptrdiff_t>(offset);
    b.erase(at, at + static_cast<std::ptrdiff_t>(replaced));
    b.insert(b.begin() + static_cast<std::ptrdiff_t>(offset), bytes.begin(), bytes.end());
}

void as_default(Settings&) {}

// Arbitrary signal 0, -1, 1000: count at 152, samples at 153, 154 and 155..156.
void with_arbitrary(Settings& s) { s.signals = {ArbitrarySignalParams{{0, -1, 1000}}}; }

class Malformed : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(Malformed, RefusedAtOffsetAndPath) {
    const MalformedCase& c = GetParam();
    Settings s = default_settings();
    c.setup(s);
    ByteBuffer bytes = encode(s);
    c.damage(bytes);
    const DecodeResult r = decode_settings(bytes);
    ASSERT_TRUE(std::holds_alternative<DecodeError>(r)) << c.name << " was accepted";
    EXPECT_EQ(std::get<DecodeError>(r).to_string(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Malformed,
    ::testing::Values(
        // Booleans
        MalformedCase{"NestedBoolean", as_default, [](ByteBuffer& b) { b[181] = 0x80; },
                      "offset 181: channel_b_settings.modulation_source.external_selected: "
                      "boolean byte 80 is neither 00 nor 01"},
        MalformedCase{"MonitorFlag", as_default, [](ByteBuffer& b) { b[187] = 0x10; },
                      "offset 187: monitor_trace_visible[3]: boolean byte 10 is neither 00 nor "
                      "01"},
        MalformedCase{"SignalKind", as_default, [](ByteBuffer& b) { b[151] = 0x07; },
                      "offset 151: signals[0]: signal kind 7 is not one of 0..4"},
        // Varints
        MalformedCase{"VarintElevenBytes", as_default,
                      [](ByteBuffer& b) {
                          put(b, 60, 2,
                              {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});
                      },
                      "offset 60: machine_config.coils[0].settings[0].clk_ticks_per_sample: "
                      "varint longer than 10 bytes"},
        MalformedCase{"VarintBeyond64Bits", as_default,
                      [](ByteBuffer& b) {
                          put(b, 60, 2,
                              {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02});
                      },
                      "offset 60: machine_config.coils[0].settings[0].clk_ticks_per_sample: "
                      "varint exceeds 64 bits"},
        MalformedCase{"VarintPaddedOne", as_default,
                      [](ByteBuffer& b) { put(b, 62, 1, {0x81, 0x00}); },
                      "offset 62: machine_config.coils[0].settings[0].capacitor_bank_setting: "
                      "varint is not in its shortest form"},
        MalformedCase{"VarintPaddedTenBytes", as_default,
                      [](ByteBuffer& b) {
                          put(b, 200, 1,
                              {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00});
                      },
                      "offset 200: monitor_subsampling_factor: varint is not in its shortest "
                      "form"},
        // Text
        MalformedCase{"NameNotUtf8", as_default, [](ByteBuffer& b) { b[12] = 0xFF; },
                      "offset 11: machine_config.coils[0].name: text is not valid UTF-8"},
        MalformedCase{"NameLongerThanFile", as_default,
                      [](ByteBuffer& b) { put(b, 11, 1, {0xC8, 0x01}); },
                      "offset 11: machine_config.coils[0].name: byte count 200 exceeds the 189 "
                      "bytes left"},
        // Counts against the bytes left
        MalformedCase{"TooManyCoils", as_default, [](ByteBuffer& b) { b[10] = 0x08; },
                      "offset 10: machine_config.coils: element count 8 exceeds the 190 bytes "
                      "left (each element takes at least 26 bytes)"},
        MalformedCase{"TooManyFloats", as_default, [](ByteBuffer& b) { b[63] = 0x40; },
                      "offset 63: machine_config.capacitors: element count 64 exceeds the 137 "
                      "bytes left (each element takes at least 8 bytes)"},
        MalformedCase{"HugeCount", as_default,
                      [](ByteBuffer& b) {
                          put(b, 150, 1,
                              {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});
                      },
                      "offset 150: signals: element count 18446744073709551615 exceeds the 50 "
                      "bytes left (each element takes at least 2 bytes)"},
        MalformedCase{"TooManySamples", with_arbitrary, [](ByteBuffer& b) { b[152] = 0x7F; },
                      "offset 152: signals[0].samples: element count 127 exceeds the 45 bytes "
                      "left"},
        // Samples
        MalformedCase{"SampleBeyond16Bits", with_arbitrary,
                      [](ByteBuffer& b) { put(b, 155, 2, {0x80, 0x80, 0x04}); },
                      "offset 155: signals[0].samples[2]: zig-zag value 65536 exceeds 16 bits"},
        MalformedCase{"SamplePadded", with_arbitrary,
                      [](ByteBuffer& b) { put(b, 154, 1, {0x81, 0x00}); },
                      "offset 154: signals[0].samples[1]: varint is not in its shortest form"},
        // Truncation
        MalformedCase{"Empty", as_default, [](ByteBuffer& b) { b.clear(); },
                      "offset 0: running_on_target_machine: truncated: needs 1 byte, 0 left"},
        MalformedCase{"CutInFloat", as_default, [](ByteBuffer& b) { b.resize(140); },
                      "offset 134: intensity: truncated: needs 8 bytes, 6 left"},
        MalformedCase{"CutInVarint", as_default, [](ByteBuffer& b) { b[200] = 0x80; },
                      "offset 200: monitor_subsampling_factor: truncated: the data ends inside "
                      "a varint"},
        // A cut inside a sequence is caught by its count first.
        MalformedCase{"CutInSequence", as_default, [](ByteBuffer& b) { b.resize(61); },
                      "offset 43: machine_config.coils[0].settings: element count 1 exceeds the "
                      "17 bytes left (each element takes at least 18 bytes)"},
        MalformedCase{"CutInPayload", as_default, [](ByteBuffer& b) { b.resize(155); },
                      "offset 152: signals[0].value: truncated: needs 8 bytes, 3 left"},
        // Trailing bytes
        MalformedCase{"OneTrailingByte", as_default, [](ByteBuffer& b) { b.push_back(0); },
                      "offset 201: 1 byte left over after the settings record"}),
    [](const auto& test) { return std::string(test.param.name); });

// --- damaged files -------------------------------------------------------------------------------

Settings small_file_settings() {
    Settings s = default_settings();
    s.signals = {SineSignalParams{1.0, 10.0, 0.0, 0.5}, MixedSignalParams{0, 300},
                 ArbitrarySignalParams{{0, -1, 1000, -32768}}, ConstantSignalParams{1.0}};
    s.channel_b_settings.modulation_source = {0, 200, true};
    return s;
}

TEST(Damaged, EveryProperPrefixRefused) {
    const ByteBuffer bytes = encode(small_file_settings());
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        const DecodeResult r = decode_settings(std::span(bytes.data(), n));
        ASSERT_TRUE(std::holds_alternative<DecodeError>(r)) << "prefix of " << n << " accepted";
        EXPECT_LE(std::get<DecodeError>(r).offset, n);
    }
}

// Every value at every position: whatever is accepted must encode back to the very same
// bytes, which is what makes the decoder strict rather than merely robust.
TEST(Damaged, EverySingleByteChangeRefusedOrExact) {
    const ByteBuffer original = encode(small_file_settings());
    std::size_t accepted = 0;
    for (std::size_t i = 0; i < original.size(); ++i) {
        for (int v = 0; v < 256; ++v) {
            ByteBuffer bytes = original;
            bytes[i] = static_cast<std::uint8_t>(v);
            const DecodeResult r = decode_settings(bytes);
            if (const auto* s = std::get_if<Settings>(&r)) {
                ++accepted;
                ASSERT_TRUE(encode(*s) == bytes) << "byte " << i << " = " << v;
            } else {
                ASSERT_LE(std::get<DecodeError>(r).offset, bytes.size());
            }
        }
    }
    EXPECT_GT(accepted, original.size());  // float bytes take any value
}

}  // namespace
}  // namespace protocols
