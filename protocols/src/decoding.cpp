// Decoding a whole file, checking a file's first bytes, and reading a file in pieces.
#include "protocols/decoding.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "decoder.hpp"

namespace protocols {

using detail::bytes_text;
using detail::concat;
using detail::Decoder;
using detail::min_encoded_size;
using sample_lists::use_sample_blocks;

std::string DecodeError::to_string() const {
    return concat({"offset ", std::to_string(offset), ": ", path, path.empty() ? "" : ": ",
                   message});
}

namespace {

DecodeResult decode(std::span<const std::uint8_t> bytes, bool sample_blocks) {
    Decoder decoder(bytes, sample_blocks);
    Settings settings;
    if (std::optional<DecodeError> failed = detail::decode_into(decoder, settings, bytes.size())) {
        return std::move(*failed);
    }
    return settings;
}

}  // namespace

DecodeResult decode_settings(std::span<const std::uint8_t> bytes) {
    return decode(bytes, use_sample_blocks());
}

DecodeResult decode_settings_per_sample(std::span<const std::uint8_t> bytes) {
    return decode(bytes, false);
}

PrefixStatus check_prefix(std::span<const std::uint8_t> bytes, std::size_t file_size) {
    if (file_size < bytes.size()) throw std::invalid_argument("more bytes than the file holds");
    Decoder decoder(bytes, use_sample_blocks());
    decoder.check_prefix_of(file_size);
    Settings scratch;
    decoder.read(scratch);
    PrefixStatus status;
    status.required_end = decoder.required_end();
    if (decoder.ran_out()) {
        status.needed = std::max<std::size_t>(decoder.needed(), 1);
        return status;
    }
    if (std::optional<DecodeError>& refused = decoder.error(); refused.has_value()) {
        status.state = PrefixStatus::State::refused;
        status.error = std::move(*refused);
        return status;
    }
    status.end = decoder.position();
    const std::size_t size = file_size == unknown_file_size ? bytes.size() : file_size;
    if (status.end != size) {
        status.state = PrefixStatus::State::refused;
        status.error = DecodeError{status.end, "",
                                   concat({bytes_text(size - status.end),
                                           " left over after the settings record"})};
        return status;
    }
    status.state = PrefixStatus::State::complete;
    return status;
}

namespace {

// Fills `room` bytes at `into` unless the input ends first; returns how many it got.
std::size_t read_fully(const ReadSome& read, std::uint8_t* into, std::size_t room) {
    std::size_t got = 0;
    while (got < room) {
        const std::size_t n = read(into + got, room - got);
        if (n == 0) break;
        got += n;
    }
    return got;
}

}  // namespace

std::optional<DecodeError> read_record(ByteVector& bytes, std::size_t file_size,
                                       const ReadSome& read, const CheckPrefix& check) {
    // The first piece is the smallest record there is, so that an input of one such record and
    // more (/dev/zero) is refused one byte past it. Each later piece is as large as what was
    // read before (every check walks the input from its start again, so their number must stay
    // small: doubling keeps the walks within twice the file), up to a bound on what can be read
    // past the record's end, unless the record is known to need more.
    const std::size_t first_piece = min_encoded_size<Settings>();
    constexpr std::size_t small_piece = std::size_t{1} << 12;
    constexpr std::size_t largest_piece = std::size_t{1} << 26;
    bytes.clear();
    std::size_t total = file_size;  // known once the input has ended
    bool reserved = false;
    for (;;) {
        PrefixStatus status = check ? check(bytes, total) : check_prefix(bytes, total);
        if (status.state == PrefixStatus::State::refused) {
            if (total == unknown_file_size && status.required_end > bytes.size()) {
                // A count before the refusal asks for bytes that may never come: then that
                // count is what a reader of the whole input refuses. The input is counted, not
                // kept.
                std::size_t size = bytes.size();
                std::uint8_t scratch[1 << 14];
                while (size < status.required_end) {
                    const std::size_t n =
                        read(scratch, std::min(sizeof scratch, status.required_end - size));
                    if (n == 0) break;
                    size += n;
                }
                if (size < status.required_end) {
                    PrefixStatus whole = check ? check(bytes, size) : check_prefix(bytes, size);
                    if (whole.state == PrefixStatus::State::refused) return std::move(whole.error);
                }
            }
            return std::move(status.error);
        }
        if (status.state == PrefixStatus::State::complete) {
            std::uint8_t extra = 0;  // one byte more shows whether the input goes on
            if (read(&extra, 1) == 0) return std::nullopt;
            return DecodeError{status.end, "",
                               concat({bytes_text(bytes.size() + 1 - status.end),
                                       " left over after the settings record"})};
        }
        std::size_t want =
            bytes.empty()
                ? first_piece
                : std::max(status.needed, std::clamp(bytes.size(), small_piece, largest_piece));
        if (total != unknown_file_size) {
            want = std::min(want, total - bytes.size());
            if (!reserved && !bytes.empty()) {
                // A file of known size is read into room for exactly that size, taken once its
                // first piece looks like a record: untouched, that room costs no memory.
                reserved = true;
                try {
                    bytes.reserve(total);
                } catch (const std::bad_alloc&) {  // NOLINT(bugprone-empty-catch): grows instead
                }
            }
        }
        const std::size_t old = bytes.size();
        bytes.resize(old + want);
        const std::size_t got = read_fully(read, bytes.data() + old, want);
        bytes.resize(old + got);
        if (got < want) total = bytes.size();
    }
}

}  // namespace protocols
