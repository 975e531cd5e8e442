// The block reader of samples against the per-sample reader: the same records for well-formed
// files of every sample width and length, and the same refusal, offset and field path for
// files damaged anywhere in their samples.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "protocols/decoding.hpp"
#include "protocols/encoding.hpp"
#include "protocols/settings.hpp"
#include "sample_files.hpp"

namespace protocols {
namespace {

using test_files::describe;
using test_files::draw;
using test_files::file_with_samples;

class Blocks : public ::testing::TestWithParam<int> {};

TEST_P(Blocks, SameRecordsAsThePerSampleReader) {
    std::mt19937 rng(static_cast<unsigned>(GetParam()));
    for (std::size_t n = 0; n < 70; ++n) {
        const ByteBuffer bytes = file_with_samples({draw(rng, n, GetParam())});
        const DecodeResult blocks = decode_settings(bytes);
        ASSERT_TRUE(std::holds_alternative<Settings>(blocks)) << describe(blocks);
        ByteBuffer again;
        encode_settings(std::get<Settings>(blocks), again);
        EXPECT_EQ(again, bytes) << n;
        EXPECT_EQ(describe(blocks), describe(decode_settings_per_sample(bytes))) << n;
    }
}

TEST_P(Blocks, SameRefusalsForDamagedSamples) {
    std::mt19937 rng(static_cast<unsigned>(GetParam()) + 100);
    const SampleVector samples = draw(rng, 400, GetParam());
    const ByteBuffer clean = file_with_samples({samples});
    // The samples lie between the signal list's start (offset 150) and the constant at the end.
    constexpr std::size_t first = 150;
    const std::size_t last = clean.size() - 12 - 12 - 16 - 1 - 9;
    // Bytes that make the irregular cases: zero, small, the 16-bit limit, continuation bytes.
    const std::uint8_t interesting[] = {0x00, 0x01, 0x03, 0x04, 0x7F, 0x80, 0x81, 0xFF};
    for (int round = 0; round < 3000; ++round) {
        ByteBuffer bytes = clean;
        const int changes = 1 + static_cast<int>(rng() % 3);
        for (int c = 0; c < changes; ++c) {
            const std::size_t at = first + rng() % (last - first);
            bytes[at] = rng() % 2 ? interesting[rng() % sizeof interesting]
                                  : static_cast<std::uint8_t>(rng());
        }
        ASSERT_EQ(describe(decode_settings(bytes)), describe(decode_settings_per_sample(bytes)))
            << "round " << round;
    }
}

std::string width_name(const ::testing::TestParamInfo<int>& width) {
    static const char* const widths[] = {"OneByte", "TwoBytes", "ThreeBytes", "Mixed"};
    return widths[width.param];
}

INSTANTIATE_TEST_SUITE_P(Widths, Blocks, ::testing::Values(0, 1, 2, 3), width_name);

// Each irregular form at each position of a block: the block reader must leave it to the
// per-sample reader, which names it.
TEST(Blocks, IrregularFormsAtEveryPosition) {
    const std::vector<std::vector<std::uint8_t>> forms = {
        {0x80, 0x00},              // two bytes, not the shortest form
        {0x80, 0x80, 0x00},        // three bytes, not the shortest form
        {0xFF, 0xFF, 0x04},        // beyond 16 bits
        {0x80, 0x80, 0x80, 0x01},  // four bytes
    };
    for (const auto& form : forms) {
        for (std::size_t at = 0; at < 24; ++at) {
            SampleVector samples(40, 5);
            ByteBuffer bytes = file_with_samples({samples});
            const std::size_t start = 150 + 1 + 1 + 1 + at;  // count, kind, sample count
            bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(start));
            bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(start), form.begin(),
                         form.end());
            const DecodeResult blocks = decode_settings(bytes);
            ASSERT_TRUE(std::holds_alternative<DecodeError>(blocks)) << at;
            EXPECT_EQ(describe(blocks), describe(decode_settings_per_sample(bytes))) << at;
            EXPECT_EQ(std::get<DecodeError>(blocks).path,
                      "signals[0].samples[" + std::to_string(at) + "]");
            EXPECT_EQ(std::get<DecodeError>(blocks).offset, start);
        }
    }
}

}  // namespace
}  // namespace protocols
