// The record's judgement of a file after a crash, on contents in memory: every mix that an
// interrupted rewrite can leave (blocks old or new, the old tail not yet cut, zeros of the
// reservation) takes the old contents back; the new contents whole, or a file saved again since,
// do not. Also the record's layout of both formats.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "fileguard/journal.hpp"
#include "fileio_test_support.hpp"

namespace pyqelm::fileio {
namespace {

using fileguard::block_size;
using fileguard::State;

// A whole record of a rewrite from `old` to `fresh`, as a saver writes it.
Bytes record_of(const Bytes& old, const Bytes& fresh, std::uint64_t device, std::uint64_t inode,
                fileguard::Identity identity = fileguard::native_identity) {
    const Bytes sums = fileguard::encode_sums(fileguard::BlockSums::of(fresh));
    fileguard::Header header;
    header.device = device;
    header.inode = inode;
    header.old_size = old.size();
    header.new_size = fresh.size();
    header.checksum = fileguard::body_checksum(old, sums);
    header.identity = identity;
    const auto head = fileguard::encode_header(header);
    Bytes out(head.size() + old.size() + sums.size());
    const auto after_head = std::copy(head.begin(), head.end(), out.begin());
    std::copy(sums.begin(), sums.end(), std::copy(old.begin(), old.end(), after_head));
    return out;
}

fileguard::ReadAt reader_of(const Bytes& file) {
    return [&file](std::uint64_t offset, std::span<std::uint8_t> into) {
        if (offset + into.size() > file.size()) return 5;
        std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
        return 0;
    };
}

struct JudgeCase {
    const char* name;
    std::size_t old_size;
    std::size_t new_size;
    // Makes the file from the old and the new contents.
    Bytes (*make)(const Bytes& old, const Bytes& fresh);
    State expected;
};

// The first `blocks` blocks new, the rest as the old file left them.
template <std::size_t blocks>
Bytes new_head(const Bytes& old, const Bytes& fresh) {
    Bytes out = old;
    const std::size_t cut = std::min(fresh.size(), blocks * block_size);
    if (out.size() < fresh.size()) out.resize(fresh.size(), 0);  // the reservation's zeros
    std::copy_n(fresh.begin(), cut, out.begin());
    return out;
}

class Judge : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(Judge, TellsAMixFromWholeContentsAndFromALaterSave) {
    const JudgeCase& c = GetParam();
    const Bytes old = pattern(c.old_size, 1);
    const Bytes fresh = pattern(c.new_size, 2);
    const Bytes file = c.make(old, fresh);
    const Bytes record = record_of(old, fresh, 7, 9);
    const auto header = fileguard::decode_header(record);
    ASSERT_TRUE(header.has_value());
    ASSERT_EQ(fileguard::record_size(*header), record.size());
    const auto sums = fileguard::BlockSums::of(fresh);
    State state = State::old_contents;
    ASSERT_EQ(fileguard::judge(*header, std::span(record).subspan(64, c.old_size), sums,
                               file.size(), reader_of(file), state),
              0);
    EXPECT_EQ(state, c.expected);
    // The same through the whole decision, as the readers take it.
    fileguard::Decision decision;
    ASSERT_EQ(fileguard::decide(record, 7, 9, file.size(), reader_of(file), decision), 0);
    EXPECT_EQ(decision.put_back, c.expected == State::interrupted);
    if (decision.put_back) {
        EXPECT_TRUE(std::equal(decision.old.begin(), decision.old.end(), old.begin(), old.end()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, Judge,
    ::testing::Values(
        JudgeCase{"WhollyOld", 5000, 4000, [](const Bytes& o, const Bytes&) { return o; },
                  State::old_contents},
        JudgeCase{"WhollyNew", 5000, 4000, [](const Bytes&, const Bytes& n) { return n; },
                  State::new_contents},
        JudgeCase{"ShorterNewNotYetCut", 5000, 4000,
                  [](const Bytes& o, const Bytes& n) { return new_head<8>(o, n); },
                  State::interrupted},
        JudgeCase{"ShorterHalfWritten", 5000, 4000, new_head<3>, State::interrupted},
        JudgeCase{"LongerHalfWritten", 3000, 6100, new_head<4>, State::interrupted},
        JudgeCase{"LongerOnlyReserved", 3000, 6100, new_head<0>, State::interrupted},
        JudgeCase{"LongerReservationCutShort", 3000, 6100,
                  [](const Bytes& o, const Bytes&) {
                      Bytes out = o;
                      out.resize(4000, 0);
                      return out;
                  },
                  State::interrupted},
        JudgeCase{"SameLengthOneBlockNew", 4096, 4096, new_head<1>, State::interrupted},
        // A block in the middle new, those around it old: writeback in any order.
        JudgeCase{"BlocksOutOfOrder", 4096, 4096,
                  [](const Bytes& o, const Bytes& n) {
                      Bytes out = o;
                      std::copy_n(n.begin() + 3 * block_size, block_size,
                                  out.begin() + 3 * block_size);
                      return out;
                  },
                  State::interrupted},
        // A block half old, half new: not what this rewrite leaves.
        JudgeCase{"TornInsideABlock", 4096, 4096,
                  [](const Bytes& o, const Bytes& n) {
                      Bytes out = o;
                      std::copy_n(n.begin(), block_size + 100, out.begin());
                      return out;
                  },
                  State::changed_since},
        JudgeCase{"SavedAgainSameLength", 5000, 4000,
                  [](const Bytes& o, const Bytes&) {
                      Bytes out = o;
                      out[4321] ^= 0x40;
                      return out;
                  },
                  State::changed_since},
        JudgeCase{"SavedAgainLongerThanBoth", 5000, 4000,
                  [](const Bytes& o, const Bytes&) { return pattern(o.size() + 1, 1); },
                  State::changed_since},
        JudgeCase{"SavedAgainShorterThanBoth", 5000, 4000,
                  [](const Bytes&, const Bytes&) { return pattern(3999, 2); },
                  State::changed_since},
        JudgeCase{"EmptyOld", 0, 1500, new_head<1>, State::interrupted},
        JudgeCase{"EmptyNew", 1500, 0, [](const Bytes&, const Bytes&) { return Bytes{}; },
                  State::new_contents}),
    ByName());

// A record that does not match its file is never applied: torn anywhere, of another file, or
// cut at its end.
struct RecordCase {
    const char* name;
    void (*spoil)(Bytes& record, std::uint64_t& inode);
    fileguard::Outcome expected;
};
class Records : public ::testing::TestWithParam<RecordCase> {};

TEST_P(Records, AreAppliedOnlyWhole) {
    const Bytes old = pattern(3000, 1);
    const Bytes fresh = pattern(2000, 2);
    const Bytes file = new_head<2>(old, fresh);
    Bytes record = record_of(old, fresh, 7, 9);
    std::uint64_t inode = 9;
    GetParam().spoil(record, inode);
    fileguard::Decision decision;
    ASSERT_EQ(fileguard::decide(record, 7, inode, file.size(), reader_of(file), decision), 0);
    EXPECT_EQ(decision.outcome, GetParam().expected);
    EXPECT_EQ(decision.put_back, GetParam().expected == fileguard::Outcome::recovered);
}

INSTANTIATE_TEST_SUITE_P(
    Spoiled, Records,
    ::testing::Values(
        RecordCase{"Whole", [](Bytes&, std::uint64_t&) {}, fileguard::Outcome::recovered},
        RecordCase{"OldContentsTorn", [](Bytes& r, std::uint64_t&) { r[64 + 1000] ^= 1; },
                   fileguard::Outcome::discarded},
        RecordCase{"ChecksumsTorn", [](Bytes& r, std::uint64_t&) { r[r.size() - 3] ^= 1; },
                   fileguard::Outcome::discarded},
        RecordCase{"HeaderTorn", [](Bytes& r, std::uint64_t&) { r[41] ^= 1; },
                   fileguard::Outcome::discarded},
        RecordCase{"CutAtTheEnd", [](Bytes& r, std::uint64_t&) { r.resize(r.size() - 8); },
                   fileguard::Outcome::discarded},
        RecordCase{"OfAnotherFile", [](Bytes&, std::uint64_t& inode) { inode = 10; },
                   fileguard::Outcome::discarded}),
    ByName());

// A record written on the other kind of system names the file in terms this one cannot
// compare: the contents alone decide.
TEST(Records, OfTheOtherSystemAreJudgedByTheContents) {
    const auto other = fileguard::native_identity == fileguard::Identity::posix
                           ? fileguard::Identity::windows
                           : fileguard::Identity::posix;
    const Bytes old = pattern(3000, 1);
    const Bytes fresh = pattern(2000, 2);
    const Bytes record = record_of(old, fresh, 1234, 5678, other);
    for (const auto& [file, outcome] :
         {std::pair{new_head<2>(old, fresh), fileguard::Outcome::recovered},
          std::pair{fresh, fileguard::Outcome::completed},
          std::pair{pattern(2500, 3), fileguard::Outcome::stale}}) {
        fileguard::Decision decision;
        ASSERT_EQ(fileguard::decide(record, 1, 2, file.size(), reader_of(file), decision), 0);
        EXPECT_EQ(decision.outcome, outcome);
    }
}

// A record of the first format, as earlier builds wrote it, still puts the old contents back.
TEST(Records, OfTheFirstFormatAreStillApplied) {
    const Bytes old = pattern(3000, 1);
    Bytes record(64, 0);
    std::memcpy(record.data(), "QELMJRN1", 8);
    const std::uint64_t words[4] = {7, 9, old.size(), fileguard::checksum(old)};
    for (int w = 0; w < 4; ++w) {
        for (int i = 0; i < 8; ++i) {
            record[static_cast<std::size_t>(8 + 8 * w + i)] =
                static_cast<std::uint8_t>(words[w] >> (8 * i));
        }
    }
    const std::uint64_t head = fileguard::checksum(std::span(record).first(56));
    for (int i = 0; i < 8; ++i)
        record[static_cast<std::size_t>(56 + i)] = static_cast<std::uint8_t>(head >> (8 * i));
    record.insert(record.end(), old.begin(), old.end());
    const Bytes file = pattern(2000, 2);
    fileguard::Decision decision;
    ASSERT_EQ(fileguard::decide(record, 7, 9, file.size(), reader_of(file), decision), 0);
    EXPECT_EQ(decision.outcome, fileguard::Outcome::recovered);
    EXPECT_TRUE(decision.put_back);
    EXPECT_EQ(decision.old.size(), old.size());
}

// Checksums of blocks handed over in pieces of any length are those of the whole.
class Sums : public ::testing::TestWithParam<std::size_t> {};
TEST_P(Sums, DoNotDependOnThePieces) {
    const Bytes data = pattern(5 * block_size + 77, 4);
    fileguard::BlockSums sums;
    for (std::size_t at = 0; at < data.size(); at += GetParam()) {
        sums.add(std::span(data).subspan(at, std::min(GetParam(), data.size() - at)));
    }
    const auto got = sums.finish();
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got, fileguard::BlockSums::of(data));
    EXPECT_EQ(got.back(), fileguard::checksum(std::span(data).subspan(5 * block_size)));
}
INSTANTIATE_TEST_SUITE_P(Pieces, Sums, ::testing::Values(1, 100, 511, 512, 513, 4000));

}  // namespace
}  // namespace pyqelm::fileio
