// Every build of the encoder's sample codes against the primitive encoding, sample by sample:
// the same bytes and the same count, for every 16-bit value and for runs of every length and
// mix of code lengths around the vector widths. A build the processor lacks is skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "protocols/encoding.hpp"

namespace protocols {
namespace {

ByteBuffer primitive(const std::vector<std::int16_t>& samples, const ByteBuffer& before) {
    ByteBuffer out = before;
    for (const std::int16_t s : samples) append_sample(out, s);
    return out;
}

// A sample whose code takes `length` bytes (1 to 3), of either sign.
std::int16_t with_length(std::mt19937& rng, int length) {
    const unsigned low[] = {0, 0x80, 0x4000};
    const unsigned high[] = {0x7F, 0x3FFF, 0xFFFF};
    const unsigned z =
        low[length - 1] + static_cast<unsigned>(rng()) % (high[length - 1] - low[length - 1] + 1);
    return unzigzag16(static_cast<std::uint16_t>(z));
}

class Packing : public ::testing::TestWithParam<SamplePacking> {
protected:
    void SetUp() override {
        if (!packing_available(GetParam())) {
            GTEST_SKIP() << "this processor lacks the instructions of this build";
        }
    }
};

TEST_P(Packing, EverySixteenBitValue) {
    std::vector<std::int16_t> samples;
    for (int v = -32768; v <= 32767; ++v) samples.push_back(static_cast<std::int16_t>(v));
    std::shuffle(samples.begin(), samples.end(), std::mt19937(1));
    const ByteBuffer before = {0xAA, 0xBB};
    ByteBuffer out = before;
    append_samples(out, samples, GetParam());
    const ByteBuffer expected = primitive(samples, before);
    ASSERT_EQ(out.size(), expected.size());
    EXPECT_TRUE(out == expected);
    EXPECT_EQ(sample_bytes(samples, GetParam()), expected.size() - before.size());
}

// Runs of every length up to a few vector steps, each lane's code length drawn on its own or
// one length for the whole run, so that every pattern of lengths within a step turns up.
TEST_P(Packing, RunsOfEveryLengthAndMix) {
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n = static_cast<std::size_t>(round % 70);
        const int uniform_length = static_cast<int>(rng() % 4);  // 0: drawn per sample
        std::vector<std::int16_t> samples(n);
        for (auto& s : samples) {
            s = with_length(rng,
                            uniform_length != 0 ? uniform_length : 1 + static_cast<int>(rng() % 3));
        }
        ByteBuffer out;
        append_samples(out, samples, GetParam());
        const ByteBuffer expected = primitive(samples, {});
        ASSERT_TRUE(out == expected) << "round " << round << ", " << n << " samples";
        ASSERT_EQ(sample_bytes(samples, GetParam()), expected.size()) << "round " << round;
    }
}

const char* packing_name(SamplePacking packing) {
    switch (packing) {
        case SamplePacking::best: return "Best";
        case SamplePacking::table: return "Table";
        case SamplePacking::avx2: return "Avx2";
        case SamplePacking::avx512: return "Avx512";
    }
    return "?";
}

std::string param_name(const ::testing::TestParamInfo<SamplePacking>& param) {
    return packing_name(param.param);
}

INSTANTIATE_TEST_SUITE_P(Builds, Packing,
                         ::testing::Values(SamplePacking::best, SamplePacking::table,
                                           SamplePacking::avx2, SamplePacking::avx512),
                         param_name);

}  // namespace
}  // namespace protocols
