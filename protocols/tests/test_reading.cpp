// Reading a file in pieces: the prefix check agrees with the whole-file decoder on every prefix
// and every damaged file, and the reader stops where the record does, whatever the input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
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

using test_files::encode;

Settings several_kinds() {
    test_env::clear_target_machine();
    Settings s = Settings::make_default();
    s.signals = {SineSignalParams{1.0, 10.0, 0.0, 0.5}, MixedSignalParams{0, 300},
                 ArbitrarySignalParams{{0, -1, 1000, -32768, 127, 128}}, ConstantSignalParams{1.0}};
    s.channel_b_settings.modulation_source = {0, 200, true};
    return s;
}

// An input that hands out `data` (then `endless` zero bytes, or the end) in reads of at most
// `largest` bytes, counting what it gave.
struct Source {
    const ByteBuffer& data;
    bool endless = false;
    std::size_t largest = static_cast<std::size_t>(-1);
    std::size_t given = 0;

    std::size_t operator()(std::uint8_t* into, std::size_t room) {
        room = std::min(room, largest);
        std::size_t n = 0;
        if (given < data.size()) {
            n = std::min(room, data.size() - given);
            std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(given), n, into);
        } else if (endless) {
            n = room;
            std::fill_n(into, n, std::uint8_t{0});
        }
        given += n;
        return n;
    }
};

std::string outcome(const std::optional<DecodeError>& e) { return e ? e->to_string() : "read"; }

std::string whole(const ByteBuffer& data) {
    const DecodeResult r = decode_settings(data);
    if (const auto* e = std::get_if<DecodeError>(&r)) return e->to_string();
    return "read";
}

std::string read_all(const ByteBuffer& data, bool size_known, std::size_t largest_read) {
    Source source{data};
    source.largest = largest_read;
    ByteVector bytes;
    const std::optional<DecodeError> e =
        read_record(bytes, size_known ? data.size() : unknown_file_size, std::ref(source));
    if (!e) {
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), data.begin(), data.end()));
    }
    return outcome(e);
}

TEST(PrefixCheck, EveryProperPrefixIsIncompleteAndTheWholeFileComplete) {
    const ByteBuffer bytes = encode(several_kinds());
    for (const std::size_t size : {bytes.size(), unknown_file_size}) {
        for (std::size_t n = 0; n < bytes.size(); ++n) {
            const PrefixStatus status = check_prefix(std::span(bytes.data(), n), size);
            ASSERT_EQ(status.state, PrefixStatus::State::incomplete) << n;
            // The bytes it asks for never reach past the record's end.
            EXPECT_LE(n + status.needed, bytes.size()) << n;
        }
        const PrefixStatus status = check_prefix(bytes, size);
        ASSERT_EQ(status.state, PrefixStatus::State::complete);
        EXPECT_EQ(status.end, bytes.size());
    }
}

// Every value at every position, read whole and read in pieces of every kind: the same outcome,
// so the pieces change nothing about what is accepted or how a refusal reads.
TEST(ReadRecord, EverySingleByteChangeHasTheWholeFilesOutcome) {
    const ByteBuffer original = encode(several_kinds());
    for (std::size_t i = 0; i < original.size(); ++i) {
        for (int v = 0; v < 256; v += 3) {
            ByteBuffer data = original;
            data[i] = static_cast<std::uint8_t>(v);
            const std::string expected = whole(data);
            for (const std::size_t largest : {std::size_t{1}, std::size_t{7}, data.size()}) {
                ASSERT_EQ(read_all(data, true, largest), expected) << i << " = " << v;
                // A stream counts bytes left over only as far as it read them.
                if (expected.find("left over") == std::string::npos) {
                    ASSERT_EQ(read_all(data, false, largest), expected) << i << " = " << v;
                }
            }
        }
    }
}

TEST(ReadRecord, TruncatedAndExtendedFilesHaveTheWholeFilesOutcome) {
    const ByteBuffer original = encode(several_kinds());
    for (std::size_t n = 0; n <= original.size() + 3; ++n) {
        ByteBuffer data(original.begin(),
                        original.begin() +
                            static_cast<std::ptrdiff_t>(std::min(n, original.size())));
        data.resize(n, 0x01);
        for (const bool known : {true, false}) {
            EXPECT_EQ(read_all(data, known, 5), whole(data)) << n << (known ? " known" : " stream");
        }
    }
}

// Long sample lists of every width, cut anywhere: the repeated scans of the list the input
// ends in find the same as the whole-file decoder.
TEST(ReadRecord, LongSampleListsInPieces) {
    std::mt19937 rng(11);
    for (int width = 0; width < 4; ++width) {
        const ByteBuffer data = test_files::file_with_samples({test_files::draw(rng, 5000, width),
                                                               test_files::draw(rng, 70, width)});
        EXPECT_EQ(read_all(data, false, 1000), "read") << width;
        EXPECT_EQ(read_all(data, true, data.size()), "read") << width;
        for (const std::size_t cut : {data.size() / 3, data.size() / 2, data.size() - 40}) {
            ByteBuffer damaged = data;
            damaged[cut] = 0xFF;  // a continuation byte where a sample may end
            damaged[cut + 1] = 0xFF;
            damaged[cut + 2] = 0xFF;
            EXPECT_EQ(read_all(damaged, false, 777), whole(damaged)) << width << " " << cut;
        }
    }
}

// A stream whose count promises more than follows: the whole stream decides, as it does for
// the whole-file decoder, even when a later byte is refused on its own.
TEST(ReadRecord, AStreamShorterThanACountIsRefusedAtTheCount) {
    test_env::clear_target_machine();
    Settings s = Settings::make_default();
    s.signals = {ConstantSignalParams{0.125}};
    ByteBuffer data = encode(s);
    // The signal count 1, the kind 0 and the value 0.125.
    const ByteBuffer signals = {0x01, 0x00, 0, 0, 0, 0, 0, 0, 0xC0, 0x3F};
    auto at = std::search(data.begin(), data.end(), signals.begin(), signals.end());
    ASSERT_NE(at, data.end());
    at[1] = 0x07;               // no such kind
    at[0] = 0xFF;               // and a count of 16383 signals,
    data.insert(at + 1, 0x7F);  // far more than the file holds
    const std::string expected = whole(data);
    ASSERT_NE(expected.find("element count 16383 exceeds"), std::string::npos) << expected;
    EXPECT_EQ(read_all(data, false, 3), expected);
    EXPECT_EQ(read_all(data, true, 3), expected);
}

TEST(ReadRecord, EndlessZerosAreRefusedOneBytePastTheRecord) {
    const ByteBuffer none;
    Source zeros{none, true};
    ByteVector bytes;
    const std::optional<DecodeError> e = read_record(bytes, unknown_file_size, std::ref(zeros));
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->message, "1 byte left over after the settings record");
    EXPECT_EQ(zeros.given, e->offset + 1);
    EXPECT_EQ(bytes.size(), e->offset);
}

// A huge file of known size: refused with its whole size counted, after reading the record.
TEST(ReadRecord, AHugeFileOfZerosIsReadNoFurtherThanItsRecord) {
    const ByteBuffer none;
    Source zeros{none, true};
    ByteVector bytes;
    const std::size_t size = std::size_t{1} << 40;
    const std::optional<DecodeError> e = read_record(bytes, size, std::ref(zeros));
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->message,
              std::to_string(size - e->offset) + " bytes left over after the settings record");
    EXPECT_LT(zeros.given, std::size_t{1} << 16);
}

// A valid record followed by endless zeros: the reader stops within one piece of its end.
TEST(ReadRecord, ARecordFollowedByEndlessBytesStopsSoonAfterIt) {
    std::mt19937 rng(5);
    const ByteBuffer data = test_files::file_with_samples({test_files::draw(rng, 400000, 3)});
    Source source{data, true};
    ByteVector bytes;
    const std::optional<DecodeError> e = read_record(bytes, unknown_file_size, std::ref(source));
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->offset, data.size());
    EXPECT_LE(source.given, 2 * data.size() + 4096);
}

}  // namespace
}  // namespace protocols
