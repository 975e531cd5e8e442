// Decoding with the samples validated first and decoded later, against the per-sample reader:
// the same records once the samples are filled in, the same refusal, offset and field path for
// damaged or cut files, and every well-formed sample list left to the second step (the scan
// accepts exactly what the reader accepts), for each scan the processor can run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "protocols/decoding.hpp"
#include "protocols/settings.hpp"
#include "sample_files.hpp"

namespace protocols {
namespace {

using test_files::describe;
using test_files::draw;
using test_files::file_with_samples;

std::size_t deferrable_sample_lists(const Settings& settings) {
    std::size_t n = 0;
    for (const Signal& signal : settings.signals) {
        const auto* a = std::get_if<ArbitrarySignalParams>(&signal);
        n += a != nullptr && a->samples.size() >= min_deferred_samples ? 1 : 0;
    }
    return n;
}
// The two steps, described like a DecodeResult; a well-formed list that the scan left to the
// reader shows as a difference.
std::string describe_deferred(const ByteBuffer& bytes, SampleScan scan) {
    DeferredResult r = decode_settings_deferred(bytes, scan);
    if (const auto* e = std::get_if<DecodeError>(&r)) return e->to_string();
    auto& [settings, runs] = std::get<DeferredSettings>(r);
    decode_deferred_samples(settings, bytes, runs);
    if (runs.size() != deferrable_sample_lists(settings)) {
        return "only " + std::to_string(runs.size()) + " sample lists deferred";
    }
    return describe(settings);
}

using Param = std::tuple<SampleScan, int>;
class Deferred : public ::testing::TestWithParam<Param> {
protected:
    SampleScan scan() const { return std::get<0>(GetParam()); }
    int width() const { return std::get<1>(GetParam()); }
};

TEST_P(Deferred, SameRecordsAsThePerSampleReader) {
    std::mt19937 rng(static_cast<unsigned>(width()));
    // Lists from empty to several 64-byte blocks, ending anywhere in a block and near the end
    // of the input; two lists in one file.
    for (std::size_t n = 0; n < 300; n += 1 + n / 40) {
        const ByteBuffer bytes =
            file_with_samples({draw(rng, n, width()), draw(rng, (n * 7) % 130, width())});
        const DecodeResult reference = decode_settings_per_sample(bytes);
        ASSERT_TRUE(std::holds_alternative<Settings>(reference)) << describe(reference);
        ASSERT_EQ(describe_deferred(bytes, scan()), describe(reference)) << n;
    }
}

TEST_P(Deferred, SameRefusalsForDamagedSamples) {
    std::mt19937 rng(static_cast<unsigned>(width()) + 100);
    const ByteBuffer clean = file_with_samples({draw(rng, 300, width())});
    // The bytes from the first signal on, up to the end.
    constexpr std::size_t first = 150;
    const std::uint8_t interesting[] = {0x00, 0x01, 0x03, 0x04, 0x7F, 0x80, 0x81, 0xFF};
    for (int round = 0; round < 3000; ++round) {
        ByteBuffer bytes = clean;
        const int changes = 1 + static_cast<int>(rng() % 3);
        for (int c = 0; c < changes; ++c) {
            const std::size_t at = first + rng() % (bytes.size() - first);
            bytes[at] = rng() % 2 ? interesting[rng() % sizeof interesting]
                                  : static_cast<std::uint8_t>(rng());
        }
        if (round % 4 == 0) bytes.resize(first + rng() % (bytes.size() - first));  // cut short
        ASSERT_EQ(describe_deferred(bytes, scan()), describe(decode_settings_per_sample(bytes)))
            << "round " << round;
    }
}

std::string param_name(const ::testing::TestParamInfo<Param>& info) {
    static const char* const scans[] = {"Best", "Portable", "Vector128", "Vector256", "Vector512"};
    static const char* const widths[] = {"OneByte", "TwoBytes", "ThreeBytes", "Mixed"};
    return std::string(scans[static_cast<int>(std::get<0>(info.param))]) +
           widths[std::get<1>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(
    ScansAndWidths, Deferred,
    ::testing::Combine(::testing::Values(SampleScan::best, SampleScan::portable,
                                         SampleScan::vector128, SampleScan::vector256,
                                         SampleScan::vector512),
                       ::testing::Values(0, 1, 2, 3)),
    param_name);

// The decoder's reading of a sample list, one byte at a time: where it ends if every sample is
// accepted (at most 16 bits, in the shortest form), nullopt otherwise.
std::optional<std::size_t> reference_end(const ByteBuffer& bytes, std::size_t pos,
                                         std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t z = 0;
        std::size_t length = 0;
        std::uint8_t byte = 0;
        do {
            if (pos == bytes.size() || length == 3) return std::nullopt;
            byte = bytes[pos++];
            z |= std::uint32_t{byte & 0x7Fu} << (7 * length++);
        } while (byte & 0x80);
        if ((length > 1 && byte == 0) || z > 0xFFFF) return std::nullopt;
    }
    return pos;
}

class Scan : public ::testing::TestWithParam<SampleScan> {};

// Random runs of samples with damage here and there, random starts and counts: the scan ends
// every list where the reader does, and refuses exactly those it refuses.
TEST_P(Scan, AcceptsExactlyWhatTheReaderAccepts) {
    std::mt19937 rng(3);
    const std::uint8_t interesting[] = {0x00, 0x01, 0x03, 0x04, 0x7F, 0x80, 0x81, 0xFF};
    std::size_t accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        const SampleVector samples = draw(rng, rng() % 120, static_cast<int>(rng() % 4));
        ByteBuffer bytes;
        for (std::size_t i = rng() % 70; i > 0; --i)
            bytes.push_back(static_cast<std::uint8_t>(rng()));
        const std::size_t start = bytes.size();
        for (const std::int16_t s : samples) append_sample(bytes, s);
        for (std::size_t i = rng() % 70; i > 0; --i)
            bytes.push_back(static_cast<std::uint8_t>(rng() | (rng() % 2 ? 0x80 : 0)));
        for (std::size_t i = rng() % 3; i > 0 && start < bytes.size(); --i) {
            bytes[start + rng() % (bytes.size() - start)] = interesting[rng() % sizeof interesting];
        }
        const std::size_t count = rng() % 8 == 0 ? rng() % (samples.size() + 10) : samples.size();
        const auto expected = reference_end(bytes, start, count);
        ASSERT_EQ(sample_list_end(bytes, start, count, GetParam()), expected)
            << "round " << round << ", " << count << " samples from " << start << " of "
            << bytes.size();
        accepted += expected.has_value() ? 1 : 0;
    }
    EXPECT_GT(accepted, 5000u);  // both outcomes are well covered
    EXPECT_GT(20000 - accepted, 2000u);
}

INSTANTIATE_TEST_SUITE_P(Scans, Scan,
                         ::testing::Values(SampleScan::best, SampleScan::portable,
                                           SampleScan::vector128, SampleScan::vector256,
                                           SampleScan::vector512));

class DeferredForms : public ::testing::TestWithParam<SampleScan> {};

// Each irregular form at each position of a 64-byte block and in the input's last bytes: the
// scan must refuse it, and the reader then names it.
TEST_P(DeferredForms, IrregularFormsAtEveryPosition) {
    const std::vector<std::vector<std::uint8_t>> forms = {
        {0x80, 0x00},              // two bytes, not the shortest form
        {0x80, 0x80, 0x00},        // three bytes, not the shortest form
        {0xFF, 0xFF, 0x04},        // beyond 16 bits
        {0xFF, 0xFF, 0x7F},        // far beyond 16 bits
        {0x80, 0x80, 0x80, 0x01},  // four bytes
    };
    const std::size_t count = 150;
    for (const auto& form : forms) {
        for (std::size_t at = 0; at < count; ++at) {
            ByteBuffer bytes = file_with_samples({SampleVector(count, 5)});
            const std::size_t start = 150 + 1 + 1 + 2 + at;  // kind, sample count (2 bytes)
            bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(start));
            bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(start), form.begin(),
                         form.end());
            const DeferredResult r = decode_settings_deferred(bytes, GetParam());
            ASSERT_TRUE(std::holds_alternative<DecodeError>(r)) << at;
            EXPECT_EQ(std::get<DecodeError>(r), std::get<DecodeError>(decode_settings(bytes)));
            EXPECT_EQ(std::get<DecodeError>(r).path,
                      "signals[0].samples[" + std::to_string(at) + "]");
            EXPECT_EQ(std::get<DecodeError>(r).offset, start);
        }
    }
}

// The largest regular form of each length at every position: accepted, and the values back.
TEST_P(DeferredForms, LimitFormsAtEveryPosition) {
    const std::int16_t limits[] = {-64, 63, -8192, 8191, -32768, 32767};
    for (const std::int16_t limit : limits) {
        for (std::size_t at = 0; at < 150; ++at) {
            SampleVector samples(150, 0);
            samples[at] = limit;
            const ByteBuffer bytes = file_with_samples({samples});
            DeferredResult r = decode_settings_deferred(bytes, GetParam());
            ASSERT_TRUE(std::holds_alternative<DeferredSettings>(r)) << at;
            auto& [settings, runs] = std::get<DeferredSettings>(r);
            ASSERT_EQ(runs.size(), 1u);
            decode_deferred_samples(settings, bytes, runs);
            EXPECT_EQ(std::get<ArbitrarySignalParams>(settings.signals[0]).samples, samples);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scans, DeferredForms,
                         ::testing::Values(SampleScan::best, SampleScan::portable,
                                           SampleScan::vector128, SampleScan::vector256,
                                           SampleScan::vector512));

// The input that decoding reports as done is never read again: overwritten as soon as it is
// reported, the samples still come out right (long lists are decoded in several steps).
TEST(Deferred, InputReportedDoneIsNotReadAgain) {
    std::mt19937 rng(11);
    const ByteBuffer clean =
        file_with_samples({draw(rng, 700000, 3), draw(rng, 1000, 1), draw(rng, 300000, 2)});
    const DecodeResult reference = decode_settings_per_sample(clean);
    ByteBuffer bytes = clean;
    DeferredResult r = decode_settings_deferred(bytes);
    auto& [settings, runs] = std::get<DeferredSettings>(r);
    ASSERT_EQ(runs.size(), 3u);
    std::size_t reports = 0;
    std::size_t last_end = 0;
    decode_deferred_samples(settings, bytes, runs, [&](std::size_t begin, std::size_t end) {
        ASSERT_LE(begin, end);
        ASSERT_LE(end, bytes.size());
        ASSERT_GE(end, last_end);
        last_end = end;
        ++reports;
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                  bytes.begin() + static_cast<std::ptrdiff_t>(end), std::uint8_t{0xFF});
    });
    EXPECT_GE(reports, 5u);
    EXPECT_EQ(describe(settings), describe(reference));
}

TEST(Deferred, RunsNotFromTheseBytesAreRefused) {
    std::mt19937 rng(7);
    const ByteBuffer bytes = file_with_samples({draw(rng, 100, 3)});
    DeferredResult r = decode_settings_deferred(bytes);
    auto& [settings, runs] = std::get<DeferredSettings>(r);
    std::vector<SampleRun> beyond = runs;
    beyond[0].offset = bytes.size() - 10;
    EXPECT_THROW(decode_deferred_samples(settings, bytes, beyond), std::invalid_argument);
    std::vector<SampleRun> missing = runs;
    missing[0].list = 5;
    EXPECT_THROW(decode_deferred_samples(settings, bytes, missing), std::invalid_argument);
}

}  // namespace
}  // namespace protocols
