// The record's layout and checksum: the same on every platform, so a record is read by any
// build of the readers.
#include "fileguard/journal.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace fileguard {
namespace {

constexpr std::array<std::uint8_t, 8> magic_v1 = {'Q', 'E', 'L', 'M', 'J', 'R', 'N', '1'};
constexpr std::array<std::uint8_t, 8> magic = {'Q', 'E', 'L', 'M', 'J', 'R', 'N', '2'};
// What a file is read in while it is judged: whole blocks.
constexpr std::size_t judge_chunk = std::size_t{1} << 20;
constexpr std::uint64_t prime1 = 0x9E3779B185EBCA87u;
constexpr std::uint64_t prime2 = 0xC2B2AE3D27D4EB4Fu;
constexpr std::uint64_t prime3 = 0x165667B19E3779F9u;

std::uint64_t rotl(std::uint64_t x, int by) { return (x << by) | (x >> (64 - by)); }

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t x = 0;
    for (int i = 7; i >= 0; --i) x = (x << 8) | p[i];
    return x;
}

void store64(std::uint8_t* p, std::uint64_t x) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<std::uint8_t>(x);
        x >>= 8;
    }
}

std::uint64_t round(std::uint64_t lane, std::uint64_t word) {
    return rotl(lane + word * prime2, 31) * prime1;
}

std::uint64_t finish(std::uint64_t x) {
    x ^= x >> 33;
    x *= prime2;
    x ^= x >> 29;
    x *= prime3;
    x ^= x >> 32;
    return x;
}

}  // namespace

// Four independent lanes keep the multiplier busy; the length goes in at the end, so that
// zeros appended to or cut from a record change the result.
std::uint64_t checksum(std::span<const std::uint8_t> bytes) {
    std::uint64_t lanes[4] = {prime1 + prime2, prime2, 0, std::uint64_t{0} - prime1};
    std::size_t at = 0;
    for (; at + 32 <= bytes.size(); at += 32) {
        for (std::size_t i = 0; i < 4; ++i) {
            lanes[i] = round(lanes[i], load64(bytes.data() + at + 8 * i));
        }
    }
    std::uint64_t x = rotl(lanes[0], 1) + rotl(lanes[1], 7) + rotl(lanes[2], 12) +
                      rotl(lanes[3], 18) + static_cast<std::uint64_t>(bytes.size());
    for (; at + 8 <= bytes.size(); at += 8)
        x = rotl(x ^ round(0, load64(bytes.data() + at)), 27) * prime1;
    for (; at < bytes.size(); ++at) x = rotl(x ^ (bytes[at] * prime3), 11) * prime1;
    return finish(x);
}

std::array<std::uint8_t, header_size> encode_header(const Header& header) {
    std::array<std::uint8_t, header_size> out{};
    std::memcpy(out.data(), magic.data(), magic.size());
    store64(out.data() + 8, header.device);
    store64(out.data() + 16, header.inode);
    store64(out.data() + 24, header.old_size);
    store64(out.data() + 32, header.checksum);
    store64(out.data() + 40, header.new_size);
    store64(out.data() + 48,
            header.block | (std::uint64_t{static_cast<std::uint32_t>(header.identity)} << 32));
    store64(out.data() + 56, checksum(std::span(out).first(56)));
    return out;
}

std::optional<Header> decode_header(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < header_size || load64(bytes.data() + 56) != checksum(bytes.first(56))) {
        return std::nullopt;
    }
    Header header{load64(bytes.data() + 8), load64(bytes.data() + 16), load64(bytes.data() + 24),
                  load64(bytes.data() + 32)};
    const std::uint64_t new_size = load64(bytes.data() + 40);
    const std::uint64_t layout = load64(bytes.data() + 48);
    if (std::memcmp(bytes.data(), magic_v1.data(), magic_v1.size()) == 0) {
        if (new_size != 0 || layout != 0) return std::nullopt;
        header.block = 0;
        header.identity = Identity::posix;
        return header;
    }
    header.new_size = new_size;
    header.block = static_cast<std::uint32_t>(layout);
    const auto identity = static_cast<std::uint32_t>(layout >> 32);
    if (std::memcmp(bytes.data(), magic.data(), magic.size()) != 0 || header.block == 0 ||
        (identity != static_cast<std::uint32_t>(Identity::posix) &&
         identity != static_cast<std::uint32_t>(Identity::windows))) {
        return std::nullopt;
    }
    header.identity = static_cast<Identity>(identity);
    return header;
}

std::uint64_t block_count(std::uint64_t size, std::uint32_t block) {
    return block == 0 ? 0 : size / block + (size % block != 0 ? 1 : 0);
}

std::uint64_t record_size(const Header& header) {
    // Lengths no record can have come out as an impossible size rather than wrapping round.
    const std::uint64_t limit = std::uint64_t{1} << 60;
    if (header.old_size > limit || header.new_size > limit) return ~std::uint64_t{0};
    return header_size + header.old_size + 8 * block_count(header.new_size, header.block);
}

void BlockSums::add(std::span<const std::uint8_t> piece) {
    if (piece.empty()) return;  // an empty span may have no address to copy from
    if (filled_ > 0) {
        const std::size_t take = std::min(piece.size(), block_size - filled_);
        std::memcpy(partial_.data() + filled_, piece.data(), take);
        filled_ += take;
        piece = piece.subspan(take);
        if (filled_ < block_size) return;
        sums_.push_back(checksum(partial_));
        filled_ = 0;
    }
    for (; piece.size() >= block_size; piece = piece.subspan(block_size)) {
        sums_.push_back(checksum(piece.first(block_size)));
    }
    if (!piece.empty()) std::memcpy(partial_.data(), piece.data(), piece.size());
    filled_ = piece.size();
}

std::vector<std::uint64_t> BlockSums::finish() {
    if (filled_ > 0) sums_.push_back(checksum(std::span(partial_).first(filled_)));
    filled_ = 0;
    return std::exchange(sums_, {});
}

std::vector<std::uint64_t> BlockSums::of(std::span<const std::uint8_t> contents) {
    BlockSums sums;
    sums.add(contents);
    return sums.finish();
}

std::vector<std::uint8_t> encode_sums(std::span<const std::uint64_t> sums) {
    std::vector<std::uint8_t> out(8 * sums.size());
    for (std::size_t i = 0; i < sums.size(); ++i) store64(out.data() + 8 * i, sums[i]);
    return out;
}

// The old contents and the checksums, as if one run of bytes: a torn record fails it wherever
// it was cut.
std::uint64_t body_checksum(std::span<const std::uint8_t> old, std::span<const std::uint8_t> sums) {
    return checksum(old) ^ rotl(checksum(sums) * prime3, 23) ^ prime2;
}

int judge(const Header& header, std::span<const std::uint8_t> old,
          std::span<const std::uint64_t> new_sums, std::uint64_t size, const ReadAt& read,
          State& state) {
    state = State::interrupted;
    if (header.block == 0) return 0;
    const std::uint64_t block = header.block;
    const std::uint64_t old_size = old.size();
    const std::uint64_t new_size = header.new_size;
    // The rewrite moves the length between the two only: growing by a reservation (zeros after
    // the old end), shrinking by one cut at the end.
    if (size < std::min(old_size, new_size) || size > std::max(old_size, new_size)) {
        state = State::changed_since;
        return 0;
    }
    bool all_old = size == old_size;
    bool all_new = size == new_size;
    const auto old_at = [&](std::uint64_t at) -> std::uint8_t {
        return at < old_size ? old[at] : 0;
    };
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(size, judge_chunk / block * block)));
    for (std::uint64_t chunk = 0; chunk < size; chunk += buffer.size()) {
        const std::span<std::uint8_t> bytes = std::span(buffer).first(
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - chunk)));
        if (const int error = read(chunk, bytes); error != 0) return error;
        for (std::uint64_t start = chunk; start < chunk + bytes.size(); start += block) {
            const std::uint64_t end = std::min(start + block, size);
            const auto here = [&](std::uint64_t at) {
                return bytes[static_cast<std::size_t>(at - chunk)];
            };
            bool is_old = true;
            for (std::uint64_t at = start; at < end && is_old; ++at)
                is_old = here(at) == old_at(at);
            // New: the block's part below the new length matches its checksum, and the rest is
            // the old tail that the cut at the end has not removed yet.
            bool is_new = true;
            const std::uint64_t new_end = std::min(start + block, std::max(new_size, start));
            if (new_end > start) {
                const std::size_t index = static_cast<std::size_t>(start / block);
                is_new = new_end <= end && index < new_sums.size() &&
                         checksum(bytes.subspan(static_cast<std::size_t>(start - chunk),
                                                static_cast<std::size_t>(new_end - start))) ==
                             new_sums[index];
            }
            for (std::uint64_t at = std::max(new_end, start); at < end && is_new; ++at) {
                is_new = at < old_size && here(at) == old[at];
            }
            if (!is_old && !is_new) {
                state = State::changed_since;
                return 0;
            }
            all_old = all_old && is_old;
            all_new = all_new && is_new;
        }
    }
    state = all_new ? State::new_contents : all_old ? State::old_contents : State::interrupted;
    return 0;
}

int decide(std::span<const std::uint8_t> record, std::uint64_t device, std::uint64_t inode,
           std::uint64_t size, const ReadAt& read, Decision& decision) {
    decision = {};
    const std::optional<Header> header = decode_header(record);
    if (!header || record_size(*header) != record.size()) return 0;
    const std::span<const std::uint8_t> body = record.subspan(header_size);
    const std::span<const std::uint8_t> old =
        body.first(static_cast<std::size_t>(header->old_size));
    const std::span<const std::uint8_t> sum_bytes = body.subspan(old.size());
    if ((header->block == 0 ? checksum(old) : body_checksum(old, sum_bytes)) != header->checksum) {
        return 0;
    }
    // A record of another file (this one was replaced meanwhile) says nothing about this one.
    // Identities of the other kind of system cannot be compared: the contents decide.
    if (header->identity == native_identity &&
        (header->device != device || header->inode != inode)) {
        return 0;
    }
    std::vector<std::uint64_t> sums(sum_bytes.size() / 8);
    for (std::size_t i = 0; i < sums.size(); ++i) sums[i] = load64(sum_bytes.data() + 8 * i);
    State state = State::interrupted;
    if (const int error = judge(*header, old, sums, size, read, state); error != 0) return error;
    switch (state) {
        case State::old_contents: decision.outcome = Outcome::recovered; break;
        case State::new_contents: decision.outcome = Outcome::completed; break;
        case State::changed_since: decision.outcome = Outcome::stale; break;
        case State::interrupted:
            decision.outcome = Outcome::recovered;
            decision.put_back = true;
            decision.old = old;
            break;
    }
    return 0;
}

std::string journal_name(std::string_view name) {
    constexpr std::size_t limit = 255;
    constexpr std::string_view suffix = ".journal";
    std::size_t keep = std::min(name.size(), limit - 1 - suffix.size());
    while (keep > 0 && keep < name.size() &&
           (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
        --keep;
    }
    std::string out = ".";
    out += name.substr(0, keep);
    out += suffix;
    return out;
}

std::string describe(const Recovery& recovery) {
    switch (recovery.outcome) {
        case Outcome::none: return "";
        case Outcome::recovered:
            return "an interrupted save was undone: the file holds its previous contents again";
        case Outcome::discarded:
            return "the record of an interrupted save was incomplete and removed: the file was "
                   "not yet changed";
        case Outcome::failed:
            return "an interrupted save left a record of the file's previous contents beside it, "
                   "which could not be applied, so the file may be partly rewritten (system "
                   "error " +
                   std::to_string(recovery.error) + ")";
        case Outcome::completed:
            return "an interrupted save had written its new contents whole: its leftover record "
                   "was removed";
        case Outcome::stale:
            return "the leftover record of an earlier interrupted save no longer matched the "
                   "file, which was saved again since: the record was removed and the file left "
                   "as it is";
    }
    return "";
}

}  // namespace fileguard
