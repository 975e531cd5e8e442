// The protocol file encoder: primitive encodings, whole records in place, the default file byte
// for byte, and the buffer left intact when memory runs out.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>
#include <ostream>
#include <span>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "environment.hpp"
#include "protocols/encoding.hpp"
#include "protocols/settings.hpp"
#include "sample_files.hpp"

// Allocation failure on demand: while `fail_after` is non-negative, it counts allocations down
// and the one that finds it at zero throws. Kept out of line so that optimisers see matching
// operator new/delete calls rather than a malloc paired with an inlined free.
namespace {
thread_local long fail_after = -1;
}  // namespace

#if defined(__GNUC__)
#define TEST_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define TEST_NOINLINE __declspec(noinline)
#else
#define TEST_NOINLINE
#endif

// The nothrow and nothrow-delete forms are replaced too, so that every pairing is malloc/free
// (sanitizers check that allocation and release functions match).
TEST_NOINLINE void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (fail_after >= 0 && fail_after-- == 0) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}
TEST_NOINLINE void* operator new(std::size_t size) {
    if (void* p = operator new(size, std::nothrow)) return p;
    throw std::bad_alloc();
}
TEST_NOINLINE void operator delete(void* p) noexcept { std::free(p); }
TEST_NOINLINE void operator delete(void* p, std::size_t) noexcept { std::free(p); }
TEST_NOINLINE void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace protocols {
namespace {

// "00 A0 74 40" -> bytes; keeps the expected values of the tables readable.
ByteBuffer hex(const std::string& text) {
    ByteBuffer out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte) out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

std::string to_hex(const ByteBuffer& bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s;
    for (std::uint8_t b : bytes) {
        if (!s.empty()) s += ' ';
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

using test_files::encode;

Settings default_settings() {
    test_env::clear_target_machine();
    return Settings::make_default();
}

// --- primitives --------------------------------------------------------------------------------

struct VarintCase {
    std::uint64_t value;
    const char* bytes;
};

class Varint : public ::testing::TestWithParam<VarintCase> {};

TEST_P(Varint, ShortestLeb128) {
    ByteBuffer out;
    append_varint(out, GetParam().value);
    EXPECT_EQ(to_hex(out), to_hex(hex(GetParam().bytes)));
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Varint,
    ::testing::Values(VarintCase{0, "00"}, VarintCase{1, "01"}, VarintCase{127, "7F"},
                      VarintCase{128, "80 01"}, VarintCase{300, "AC 02"}, VarintCase{5000, "88 27"},
                      VarintCase{16383, "FF 7F"}, VarintCase{16384, "80 80 01"},
                      VarintCase{(std::uint64_t{1} << 63) - 1, "FF FF FF FF FF FF FF FF 7F"},
                      VarintCase{std::uint64_t{1} << 63, "80 80 80 80 80 80 80 80 80 01"},
                      VarintCase{std::numeric_limits<std::uint64_t>::max(),
                                 "FF FF FF FF FF FF FF FF FF 01"}));

struct SampleCase {
    std::int16_t sample;
    const char* bytes;
};

class Sample : public ::testing::TestWithParam<SampleCase> {};

TEST_P(Sample, ZigZagThenVarint) {
    ByteBuffer out;
    append_sample(out, GetParam().sample);
    EXPECT_EQ(to_hex(out), to_hex(hex(GetParam().bytes)));
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Sample,
    ::testing::Values(SampleCase{0, "00"}, SampleCase{-1, "01"}, SampleCase{1, "02"},
                      SampleCase{-2, "03"}, SampleCase{63, "7E"}, SampleCase{-64, "7F"},
                      SampleCase{64, "80 01"}, SampleCase{1000, "D0 0F"},
                      SampleCase{-1000, "CF 0F"}, SampleCase{8191, "FE 7F"},
                      SampleCase{-8192, "FF 7F"}, SampleCase{8192, "80 80 01"},
                      SampleCase{-8193, "81 80 01"}, SampleCase{32767, "FE FF 03"},
                      SampleCase{-32768, "FF FF 03"}));

struct FloatCase {
    std::uint64_t bits;
    const char* bytes;
};

class Float : public ::testing::TestWithParam<FloatCase> {};

TEST_P(Float, BitPatternLeastSignificantFirst) {
    ByteBuffer out;
    append_f64(out, std::bit_cast<double>(GetParam().bits));
    EXPECT_EQ(to_hex(out), to_hex(hex(GetParam().bytes)));
}

INSTANTIATE_TEST_SUITE_P(
    Values, Float,
    ::testing::Values(FloatCase{std::bit_cast<std::uint64_t>(1.0), "00 00 00 00 00 00 F0 3F"},
                      FloatCase{std::bit_cast<std::uint64_t>(-0.0), "00 00 00 00 00 00 00 80"},
                      // NaNs with payloads and sign survive untouched.
                      FloatCase{0x7FF8000000000123, "23 01 00 00 00 00 F8 7F"},
                      FloatCase{0xFFF0000000000001, "01 00 00 00 00 00 F0 FF"}));

// --- the default file ----------------------------------------------------------------------------

const char* const default_file =
    "00"                                                // running_on_target_machine
    " 00 00 00 00 00 00 54 40"                          // supply_voltage 80.0
    " 02"                                               // num_coils
    " 01"                                               // coils: one
    " 07 44 65 66 61 75 6C 74"                          // "Default"
    " 00 00 00 00 00 C0 62 40"                          // inductance 150.0
    " 9A 99 99 99 99 99 B9 3F"                          // max_current 0.1
    " 00 00 00 00 00 00 44 40"                          // max_carrier_frequency 40.0
    " 01"                                               // settings: one
    " 00 00 00 00 00 A0 74 40"                          // capacitance 330.0
    " EF DA 9F EE DA 9F 36 40"                          // carrier_frequency
    " DD 01"                                            // clk_ticks_per_sample 221
    " 01"                                               // capacitor_bank_setting
    " 01 00 00 00 00 00 A0 74 40"                       // capacitors
    " 01 00 00 00 00 00 A0 74 40"                       // possible_capacitances
    " 06 00 00 00 01"                                   // sources, smbus, sensors, safety checks
    " 33 33 33 33 33 33 D3 3F"                          // max_intensity_setpoint 0.3
    " 00 00 00 00 00 00 E0 3F"                          // max_current 0.5
    " 00 00 00 00 00 00 44 40"                          // max_carrier_frequency 40.0
    " 00 00 00 00 00 00 44 40"                          // max_temperature 40.0
    " 00 00 00 00 00 80 51 40"                          // min_flowrate 70.0
    " 00 00 00 00 00 40 80 40"                          // max_power 520.0
    " 00 00 00 00 00 00 00 00"                          // intensity 0.0
    " 00 00 00 00 00 00 4E 40"                          // session_duration 60.0
    " 01 00 00 00 00 00 00 00 00 00"                    // signals: Constant 0.0
    " 01 00 00 00 00 00 00 00 00 00 00 00"              // channel A
    " 00 00 00 00 00 00 00 00 00 00 00 00"              // channel B
    " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"  // monitor_trace_visible
    " 01";                                              // monitor_subsampling_factor

TEST(DefaultFile, ByteForByte) {
    const ByteBuffer expected = hex(default_file);
    ASSERT_EQ(expected.size(), 201u);
    EXPECT_EQ(to_hex(encode(default_settings())), to_hex(expected));
}

TEST(DefaultFile, OnTargetMachineOnlyFirstByteDiffers) {
    test_env::set_target_machine("1");
    const Settings s = Settings::make_default();
    test_env::clear_target_machine();
    ByteBuffer expected = hex(default_file);
    expected[0] = 0x01;
    EXPECT_EQ(to_hex(encode(s)), to_hex(expected));
}

TEST(DefaultFile, AppendsAfterExistingContents) {
    ByteBuffer out = hex("AA BB");
    encode_settings(default_settings(), out);
    ByteBuffer expected = hex("AA BB");
    const ByteBuffer file = hex(default_file);
    expected.insert(expected.end(), file.begin(), file.end());
    EXPECT_EQ(out, expected);
}

// --- records in place ----------------------------------------------------------------------------

// A change to the default settings and the bytes it must produce at `offset`; the file's length
// must change by exactly the difference, so nothing else was written or dropped.
struct InPlaceCase {
    const char* name;
    std::function<void(Settings&)> change;
    std::size_t offset;
    std::size_t replaced;  // length of the default bytes at `offset` that the change replaces
    const char* bytes;

    friend void PrintTo(const InPlaceCase& c, std::ostream* os) { *os << c.name; }
};

class InPlace : public ::testing::TestWithParam<InPlaceCase> {};

TEST_P(InPlace, WritesExactlyTheseBytes) {
    const InPlaceCase& c = GetParam();
    Settings s = default_settings();
    c.change(s);
    const ByteBuffer file = encode(s);
    const ByteBuffer expected_part = hex(c.bytes);

    ByteBuffer expected = hex(default_file);
    expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(c.offset),
                   expected.begin() + static_cast<std::ptrdiff_t>(c.offset + c.replaced));
    expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(c.offset), expected_part.begin(),
                    expected_part.end());
    EXPECT_EQ(to_hex(file), to_hex(expected));
}

// Offsets of the default file: signals at 150 (count, then 9 bytes of Constant 0.0), channel A
// at 160, channel B at 172, coil name at 11, num_coils at 9.
INSTANTIATE_TEST_SUITE_P(
    Records, InPlace,
    ::testing::Values(
        InPlaceCase{"Sine",
                    [](Settings& s) { s.signals = {SineSignalParams{1.0, 10.0, 0.0, 0.5}}; }, 150,
                    10,
                    "01  01 00 00 00 00 00 00 F0 3F 00 00 00 00 00 00 24 40"
                    " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 E0 3F"},
        InPlaceCase{"Ramp", [](Settings& s) { s.signals = {RampSignalParams{1.0, -0.0, 0.5}}; },
                    150, 10,
                    "01  02 00 00 00 00 00 00 F0 3F 00 00 00 00 00 00 00 80"
                    " 00 00 00 00 00 00 E0 3F"},
        InPlaceCase{"Arbitrary",
                    [](Settings& s) { s.signals = {ArbitrarySignalParams{{0, -1, 1000}}}; }, 150,
                    10, "01  04 03 00 01 D0 0F"},
        InPlaceCase{"MixedSmall", [](Settings& s) { s.signals = {MixedSignalParams{3, 127}}; }, 150,
                    10, "01  03 03 7F"},
        // The index follows the kind, not the position in the list.
        InPlaceCase{"KindNotPosition",
                    [](Settings& s) {
                        s.signals = {MixedSignalParams{1, 0}, ConstantSignalParams{0.0}};
                    },
                    150, 10, "02  03 01 00  00 00 00 00 00 00 00 00 00"},
        InPlaceCase{"NoSignals", [](Settings& s) { s.signals.clear(); }, 150, 10, "00"},
        InPlaceCase{"ChannelB",
                    [](Settings& s) {
                        s.channel_b_settings.enabled = true;
                        s.channel_b_settings.amplitude1_source = {300, 0, false};
                        s.channel_b_settings.amplitude2_source = {0, 5, true};
                        s.channel_b_settings.modulation_source = {1, 2, false};
                        s.channel_b_settings.coil_idx = 128;
                        s.channel_b_settings.coil_setting_idx = 7;
                    },
                    172, 12, "01  AC 02 00 00  00 05 01  01 02 00  80 01  07"},
        InPlaceCase{"EmptyName", [](Settings& s) { s.machine_config.coils[0].name.clear(); }, 11, 8,
                    "00"},
        // Counted in bytes: "Spülé" is 5 characters, 7 bytes.
        InPlaceCase{"NonAsciiName",
                    [](Settings& s) { s.machine_config.coils[0].name = "Sp\xC3\xBCl\xC3\xA9"; }, 11,
                    8, "07 53 70 C3 BC 6C C3 A9"},
        InPlaceCase{"NumCoilsAsStored", [](Settings& s) { s.machine_config.num_coils = 5; }, 9, 1,
                    "05"},
        InPlaceCase{"MonitorFlags",
                    [](Settings& s) {
                        s.monitor_trace_visible[0] = true;
                        s.monitor_trace_visible[15] = true;
                    },
                    184, 16, "01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01"}),
    [](const auto& test) { return std::string(test.param.name); });

// --- samples -------------------------------------------------------------------------------------

// The sample loop writes through a raw pointer with its own copy of the varint rule; over every
// 16-bit value it must agree with the primitive encoding and leave no slack behind.
TEST(Samples, BulkLoopMatchesPrimitiveForEveryValue) {
    Settings s = default_settings();
    SampleVector samples;
    for (int v = -32768; v <= 32767; ++v) samples.push_back(static_cast<std::int16_t>(v));
    s.signals = {ArbitrarySignalParams{samples}};
    const ByteBuffer file = encode(s);

    ByteBuffer expected(file.begin(), file.begin() + 150);
    append_varint(expected, 1);
    append_varint(expected, 4);
    append_varint(expected, samples.size());
    for (std::int16_t v : samples) append_sample(expected, v);
    const ByteBuffer tail = hex(default_file);
    expected.insert(expected.end(), tail.begin() + 160, tail.end());
    ASSERT_EQ(file.size(), expected.size());
    EXPECT_TRUE(file == expected);
    // 128 one-byte, 16256 two-byte and 49152 three-byte samples.
    EXPECT_EQ(file.size(), 201u - 9u + 1u + 3u + 128u + 2u * 16256u + 3u * 49152u);
}

// --- pieces
// ----------------------------------------------------------------------------------------

// Collects the pieces, and refuses the one numbered `refuse_at` (counting from 0) if set.
class Pieces : public ChunkSink {
public:
    explicit Pieces(long refuse_at = -1) : refuse_at_(refuse_at) {}
    bool take(std::span<const std::uint8_t> piece) override {
        if (static_cast<long>(sizes.size()) == refuse_at_) return false;
        sizes.push_back(piece.size());
        bytes.insert(bytes.end(), piece.begin(), piece.end());
        return true;
    }
    std::vector<std::size_t> sizes;
    ByteBuffer bytes;

private:
    long refuse_at_;
};

struct PieceCase {
    const char* name;
    std::function<void(Settings&)> change;

    friend void PrintTo(const PieceCase& c, std::ostream* os) { *os << c.name; }
};

Settings changed(const PieceCase& c) {
    Settings s = default_settings();
    c.change(s);
    return s;
}

const PieceCase piece_cases[] = {
    {"Default", [](Settings&) {}},
    // Every sample length, and runs of one length that the block loop crosses.
    {"EverySample",
     [](Settings& s) {
         SampleVector samples;
         for (int v = -32768; v <= 32767; v += 7) samples.push_back(static_cast<std::int16_t>(v));
         samples.insert(samples.end(), 5000, 0);
         samples.insert(samples.end(), 5000, -32768);
         s.signals = {ArbitrarySignalParams{samples}, ConstantSignalParams{1.5},
                      ArbitrarySignalParams{{}}, ArbitrarySignalParams{{-1, 64, -65}}};
     }},
    // A name longer than any piece below but the largest, and multi-byte counts.
    {"LongName",
     [](Settings& s) {
         s.machine_config.coils[0].name = std::string(70000, 'c');
         s.channel_a_settings.coil_idx = 1u << 30;
     }},
    {"NoSignals", [](Settings& s) { s.signals.clear(); }},
};

class Chunked : public ::testing::TestWithParam<std::tuple<PieceCase, std::size_t>> {};

// Piece sizes of 1 to 3 bytes end pieces inside every varint, float and sample code; the others
// fall inside sample runs at various offsets, at the buffer's slack, or take the file whole.
TEST_P(Chunked, SameBytesAsBufferedInPiecesOfTheSize) {
    const auto& [c, piece_size] = GetParam();
    const Settings s = changed(c);
    const ByteBuffer expected = encode(s);
    Pieces pieces;
    ASSERT_TRUE(encode_settings(s, piece_size, pieces));
    ASSERT_TRUE(pieces.bytes == expected) << pieces.bytes.size() << " vs " << expected.size();
    ASSERT_FALSE(pieces.sizes.empty());
    for (std::size_t i = 0; i + 1 < pieces.sizes.size(); ++i) {
        ASSERT_EQ(pieces.sizes[i], piece_size) << "piece " << i;
    }
    EXPECT_GE(pieces.sizes.back(), 1u);
    EXPECT_LE(pieces.sizes.back(), piece_size);
    EXPECT_EQ(encoded_size(s), expected.size());
}

INSTANTIATE_TEST_SUITE_P(Sizes, Chunked,
                         ::testing::Combine(::testing::ValuesIn(piece_cases),
                                            ::testing::Values(std::size_t{1}, std::size_t{2},
                                                              std::size_t{3}, std::size_t{16},
                                                              std::size_t{17}, std::size_t{151},
                                                              std::size_t{4096}, std::size_t{65537},
                                                              std::size_t{1} << 20)),
                         [](const auto& test) {
                             return std::string(std::get<0>(test.param).name) + "_" +
                                    std::to_string(std::get<1>(test.param));
                         });

// A refused piece ends the encoding: nothing more is handed over.
TEST(Chunked, StopsAtTheFirstRefusedPiece) {
    const Settings s = changed(piece_cases[1]);
    for (long refuse_at : {0L, 1L, 5L}) {
        Pieces pieces(refuse_at);
        EXPECT_FALSE(encode_settings(s, 1000, pieces));
        EXPECT_EQ(pieces.sizes.size(), static_cast<std::size_t>(refuse_at));
        EXPECT_TRUE(std::equal(pieces.bytes.begin(), pieces.bytes.end(), encode(s).begin()));
    }
}

// --- exhausted memory ----------------------------------------------------------------------------

// Fails the first, second, ... allocation of an encoding until one completes: every failure must
// leave the buffer's contents exactly as they were given.
TEST(OutOfMemory, BufferLeftAsGiven) {
    Settings s = default_settings();
    s.signals.push_back(ArbitrarySignalParams{SampleVector(1000, 12345)});
    const ByteBuffer complete = [&] {
        ByteBuffer out = hex("AA BB CC");
        encode_settings(s, out);
        return out;
    }();

    bool completed = false;
    for (long n = 0; n < 64 && !completed; ++n) {
        ByteBuffer out = hex("AA BB CC");
        bool threw = false;
        fail_after = n;
        try {
            encode_settings(s, out);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        fail_after = -1;
        if (threw) {
            EXPECT_EQ(to_hex(out), "AA BB CC") << "failing allocation " << n;
        } else {
            EXPECT_TRUE(out == complete);
            completed = true;
        }
    }
    EXPECT_TRUE(completed);
}

}  // namespace
}  // namespace protocols
