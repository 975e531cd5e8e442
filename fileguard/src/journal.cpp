// The record's layout and checksum: the same on every platform, so a record is read by any
// build of the readers.
#include "fileguard/journal.hpp"

#include <algorithm>
#include <cstring>

namespace fileguard {
namespace {

constexpr std::array<std::uint8_t, 8> magic = {'Q', 'E', 'L', 'M', 'J', 'R', 'N', '1'};
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
    store64(out.data() + 56, checksum(std::span(out).first(56)));
    return out;
}

std::optional<Header> decode_header(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < header_size || std::memcmp(bytes.data(), magic.data(), magic.size()) != 0 ||
        load64(bytes.data() + 56) != checksum(bytes.first(56)) || load64(bytes.data() + 40) != 0 ||
        load64(bytes.data() + 48) != 0) {
        return std::nullopt;
    }
    return Header{load64(bytes.data() + 8), load64(bytes.data() + 16), load64(bytes.data() + 24),
                  load64(bytes.data() + 32)};
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
    }
    return "";
}

}  // namespace fileguard
