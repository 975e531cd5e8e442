// Every build of the sample conversion against std::round and against each other: the same
// samples (exact halves included) and the same refusal for the first bad sample, for
// contiguous, strided, reversed and unaligned inputs of every length around the vector widths
// and the chunk boundaries. A build the processor lacks is skipped.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "protocols/failure.hpp"
#include "protocols/numeric.hpp"
#include "protocols/sample_conversion.hpp"
#include "protocols/settings.hpp"

namespace protocols {
namespace {

// How the doubles lie in memory: `spacing` doubles from one sample to the next (negative:
// the last sample first), starting `offset` bytes into the buffer (1 for a misaligned view).
struct Layout {
    const char* name;
    int spacing;
    int offset;
};

constexpr Layout layouts[] = {
    {"Contiguous", 1, 0},  {"Misaligned", 1, 1},
    {"EverySecond", 2, 0}, {"Column", 3, 0},  // one column of a three-column C-ordered array
    {"Reversed", -1, 0},
};

// The samples of `values` laid out as `layout` says, in a buffer that lives as long as this.
class Laid {
public:
    Laid(const std::vector<double>& values, const Layout& layout)
        : spacing_(layout.spacing),
          bytes_(sizeof(double) *
                     (values.size() * static_cast<std::size_t>(std::abs(spacing_)) + 1) +
                 static_cast<std::size_t>(layout.offset)) {
        const std::size_t n = values.size();
        const auto step = static_cast<std::size_t>(std::abs(spacing_));
        // Filler between the samples is out of range, so a path that reads it is refused.
        const double filler = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t i = 0; i < n * step; ++i) put(i, filler, layout.offset);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t slot = spacing_ > 0 ? i * step : (n - 1 - i) * step;
            put(slot, values[i], layout.offset);
        }
        first_ = bytes_.data() + layout.offset +
                 (spacing_ > 0 || n == 0 ? 0 : (n - 1) * step * sizeof(double));
    }
    const char* data() const { return first_; }
    std::intptr_t stride() const {
        return static_cast<std::intptr_t>(spacing_) * static_cast<std::intptr_t>(sizeof(double));
    }

private:
    void put(std::size_t slot, double value, int offset) {
        std::memcpy(bytes_.data() + offset + slot * sizeof(double), &value, sizeof value);
    }

    int spacing_;
    std::vector<char> bytes_;
    const char* first_ = nullptr;
};

std::int16_t reference(double t) { return static_cast<std::int16_t>(std::round(t * 32767.0)); }

std::string refusal_of(double t) {
    return t >= 0.0 ? "assertion failed: *sample <= 1.0" : "assertion failed: *sample >= 0.0";
}

// What a conversion did: the samples, or the message it was refused with.
struct Outcome {
    std::vector<std::int16_t> samples;
    std::string refusal;
};

Outcome run(const std::vector<double>& values, const Layout& layout, ConversionPath path) {
    const Laid laid(values, layout);
    Outcome outcome;
    outcome.samples.assign(values.size(), 0);
    try {
        convert_samples(laid.data(), laid.stride(), values.size(), outcome.samples.data(), path);
    } catch (const Failure& failure) {
        outcome.refusal = failure.message();
        outcome.samples.clear();
    }
    return outcome;
}

// In-range values that stress the rounding: exact halves k + 0.5 after the scaling and their
// neighbours one step either side, both ends of the range, the smallest values, random ones.
std::vector<double> hard_values(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> values;
    values.reserve(n);
    while (values.size() < n) {
        const double k = static_cast<double>(rng() % 32767);
        const double tie = (k + 0.5) / 32767.0;
        switch (rng() % 8) {
            case 0: values.push_back(tie); break;
            case 1: values.push_back(std::nextafter(tie, 0.0)); break;
            case 2: values.push_back(std::nextafter(tie, 1.0)); break;
            case 3: values.push_back((2.0 * k + 1.0) / 65534.0); break;
            case 4: {
                const double edges[] = {0.0,
                                        -0.0,
                                        1.0,
                                        std::nextafter(1.0, 0.0),
                                        std::numeric_limits<double>::denorm_min(),
                                        std::numeric_limits<double>::min(),
                                        0.5 / 32767.0,
                                        std::nextafter(0.5 / 32767.0, 0.0),
                                        0.5,
                                        std::nextafter(32766.5 / 32767.0, 1.0)};
                values.push_back(edges[rng() % std::size(edges)]);
                break;
            }
            default: values.push_back(uniform(rng)); break;
        }
    }
    return values;
}

// Lengths around the vector widths (4, 8, 16 samples) and the chunk of 2048, and one that
// spans several chunks.
const std::vector<std::size_t> lengths = {0,  1,  3,   7,    8,    9,    15,   16,   17,
                                          31, 33, 100, 2047, 2048, 2049, 4095, 4097, 10007};

using Param = std::tuple<ConversionPath, int>;

class Conversion : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        if (!conversion_available(path())) {
            GTEST_SKIP() << "this processor lacks the instructions of this build";
        }
    }
    ConversionPath path() const { return std::get<0>(GetParam()); }
    const Layout& layout() const { return layouts[std::get<1>(GetParam())]; }
};

TEST_P(Conversion, RoundsLikeStdRoundOnEveryLength) {
    std::size_t exact_halves = 0;
    for (const std::size_t n : lengths) {
        const std::vector<double> values = hard_values(n, static_cast<unsigned>(n));
        const Outcome got = run(values, layout(), path());
        ASSERT_EQ(got.refusal, "") << n << " samples";
        ASSERT_EQ(got.samples.size(), n);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(got.samples[i], reference(values[i]))
                << "sample " << i << " of " << n << ": " << values[i];
            const double x = values[i] * 32767.0;
            exact_halves += x - std::floor(x) == 0.5 ? 1 : 0;
        }
    }
    EXPECT_GT(exact_halves, 1000u);  // the rule for halves was really exercised
}

TEST_P(Conversion, SameSamplesAsThePortableBuild) {
    for (const std::size_t n : {std::size_t{33}, std::size_t{5000}}) {
        const std::vector<double> values = hard_values(n, 99);
        EXPECT_EQ(run(values, layout(), path()).samples,
                  run(values, layout(), ConversionPath::portable).samples);
    }
}

// One bad sample at positions around the vector widths and chunk boundaries, and a second bad
// sample of the other kind after it: only the first is named, by every build.
TEST_P(Conversion, RefusesTheFirstBadSample) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double bad[] = {nan,  -nan, -std::numeric_limits<double>::denorm_min(),
                          -1.0, 2.0,  std::nextafter(1.0, 2.0),
                          inf,  -inf};
    const std::size_t n = 4500;
    const std::size_t positions[] = {0, 1, 7, 8, 15, 16, 2047, 2048, 2063, 4095, 4496, 4499};
    std::mt19937 rng(5);
    for (const double first : bad) {
        for (const std::size_t at : positions) {
            std::vector<double> values = hard_values(n, static_cast<unsigned>(at));
            values[at] = first;
            const std::size_t later = at + 1 + rng() % (n - at);
            if (later < n) values[later] = first >= 0.0 ? -1.0 : 2.0;
            const Outcome got = run(values, layout(), path());
            ASSERT_EQ(got.refusal, refusal_of(first)) << first << " at " << at;
            ASSERT_EQ(got.refusal, run(values, layout(), ConversionPath::portable).refusal);
        }
    }
}

// Outputs of several MiB are written around the cache when aligned: the same samples and the
// same refusal as the ordinary stores, the last partial chunk and the scalar end included.
TEST_P(Conversion, LargeOutputsAlignedOrNot) {
    const std::size_t n = large_buffer_bytes / sizeof(std::int16_t) + 2048 + 17;
    const std::vector<double> values = hard_values(n, 3);
    const Laid laid(values, layout());
    for (const std::size_t shift : {std::size_t{0}, std::size_t{1}}) {  // aligned, 2 bytes off
        SampleVector out(n + shift);
        convert_samples(laid.data(), laid.stride(), n, out.data() + shift, path());
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(out[shift + i], reference(values[i]))
                << "sample " << i << ", shift " << shift;
        }
    }
    std::vector<double> bad = values;
    bad[n - 5] = -1.0;
    bad[n - 3] = std::numeric_limits<double>::quiet_NaN();
    bad[n - 2] = 3.0;
    const Laid bad_laid(bad, layout());
    SampleVector out(n);
    try {
        convert_samples(bad_laid.data(), bad_laid.stride(), n, out.data(), path());
        FAIL() << "accepted a sample of -1.0";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.message(), refusal_of(-1.0));
    }
}

const char* path_name(ConversionPath path) {
    switch (path) {
        case ConversionPath::best: return "Best";
        case ConversionPath::portable: return "Portable";
        case ConversionPath::avx2: return "Avx2";
        case ConversionPath::avx512: return "Avx512";
    }
    return "?";
}

std::string param_name(const ::testing::TestParamInfo<Param>& param) {
    return std::string(path_name(std::get<0>(param.param))) +
           layouts[std::get<1>(param.param)].name;
}

INSTANTIATE_TEST_SUITE_P(
    PathsAndLayouts, Conversion,
    ::testing::Combine(::testing::Values(ConversionPath::best, ConversionPath::portable,
                                         ConversionPath::avx2, ConversionPath::avx512),
                       ::testing::Range(0, static_cast<int>(std::size(layouts)))),
    param_name);

}  // namespace
}  // namespace protocols
