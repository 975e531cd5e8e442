// The one decoder: a generic visitor over the record field declarations, mirroring the encoder
// type by type. Internal: the whole-file, prefix and deferred decodings all drive it.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "protocols/decoding.hpp"
#include "protocols/encoding.hpp"
#include "protocols/settings.hpp"
#include "protocols/signal_list.hpp"
#include "protocols/utf8.hpp"
#include "sample_lists.hpp"

namespace protocols::detail {

using sample_lists::not_accepted;
using sample_lists::sample_scanner;
using sample_lists::SampleScanner;
#ifdef PROTOCOLS_SAMPLE_BLOCKS
using sample_lists::read_sample_blocks;
#endif

// Messages are built by appending pieces; `"literal" + std::string` chains trip a false
// overlap warning in some compilers at high optimisation.
inline std::string concat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) text += part;
    return text;
}

inline std::string bytes_text(std::size_t n) {
    return concat({std::to_string(n), n == 1 ? " byte" : " bytes"});
}

inline constexpr std::size_t max_varint_bytes = 10;

inline std::size_t min_encoded_size_of_signal();

// The fewest bytes one value of type T can occupy in a file. Sequence counts are checked
// against it, which bounds every allocation by a small multiple of the input size.
template <class T>
std::size_t min_encoded_size() {
    if constexpr (std::is_same_v<T, double>) {
        return 8;
    } else if constexpr (std::is_same_v<T, std::array<bool, 16>>) {
        return 16;
    } else if constexpr (std::is_same_v<T, Signal>) {
        return min_encoded_size_of_signal();
    } else if constexpr (Record<T>) {
        // Walks a default record only for its field types; computed once per record type.
        static const std::size_t size = [] {
            T record{};
            std::size_t sum = 0;
            for_each_field(record, [&sum](std::string_view, auto& field) {
                sum += min_encoded_size<std::remove_cvref_t<decltype(field)>>();
            });
            return sum;
        }();
        return size;
    } else {
        return 1;  // one-byte scalars, and the count of an empty sequence or text
    }
}

template <std::size_t... I>
inline std::size_t min_payload_size(std::index_sequence<I...>) {
    return std::min({min_encoded_size<std::variant_alternative_t<I, Signal>>()...});
}

inline std::size_t min_encoded_size_of_signal() {
    return 1 + min_payload_size(std::make_index_sequence<std::variant_size_v<Signal>>{});
}

template <std::size_t... I>
void emplace_kind(Signal& signal, std::size_t kind, std::index_sequence<I...>) {
    ((kind == I ? static_cast<void>(signal.emplace<I>()) : static_cast<void>(0)), ...);
}

// The one visitor. After the first error every further call returns at once, so the field
// walk runs out without touching the input again; the error names the innermost item.
class Decoder {
public:
    Decoder(std::span<const std::uint8_t> in, bool sample_blocks) noexcept
        : in_(in), sample_blocks_(sample_blocks), size_(in.size()) {}

    // Reads `in` as the first bytes of a file of `size` bytes (unknown_file_size when it is not
    // known): what runs past their end is not refused but counted in needed(), and the record
    // itself is not kept (lists are walked through one element), so that the check costs no
    // memory in proportion to its input. Every other refusal is the one the whole file gets.
    void check_prefix_of(std::size_t size) noexcept {
        size_ = size;
        prefix_ = true;
        scanner_ = sample_scanner(SampleScan::best);
    }
    bool ran_out() const noexcept { return ran_out_; }
    std::size_t needed() const noexcept { return needed_; }
    std::size_t required_end() const noexcept { return required_end_; }

    // Validates the sample lists with `scanner` and records where they lie in `runs`, instead
    // of decoding them (a list the scan does not accept is decoded at once, which names the
    // error if there is one).
    void defer_samples(std::vector<SampleRun>* runs, SampleScanner scanner) noexcept {
        deferred_ = runs;
        scanner_ = scanner;
    }

    // Validates the signals and records in `index` where they lie, instead of keeping them;
    // their sample lists are validated as defer_samples does, into `runs`.
    void index_signals(SignalIndex* index, std::vector<SampleRun>* runs,
                       SampleScanner scanner) noexcept {
        index_ = index;
        defer_samples(runs, scanner);
    }

    // Reads the signal validated before that begins at `offset` into `signal`; returns where it
    // ends, or not_accepted.
    std::size_t read_validated_signal(std::size_t offset, Signal& signal) {
        if (offset > in_.size()) return not_accepted;
        pos_ = offset;
        if (!read_signal(signal)) return not_accepted;
        return pos_;
    }

    // Reads `count` samples validated before, from `offset` on, into `out`.
    bool read_validated_samples(std::size_t offset, std::int16_t* out, std::size_t count) {
        if (offset > in_.size()) return false;
        pos_ = offset;
        return read_sample_values(out, count);
    }

    template <class T>
    void operator()(std::string_view name, T& field) {
        if (error_) return;
        if (depth_ == path_.size()) {
            // Record nesting is fixed by the declarations and far shallower than this.
            fail(pos_, "records nested too deeply");
            return;
        }
        path_[depth_++] = Segment{name, 0, false};
        read(field);
        --depth_;
    }

    template <class T>
    void read(T& value) {
        if constexpr (std::is_same_v<T, bool>) {
            read_bool(value);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
            read_varint(value);
        } else if constexpr (std::is_same_v<T, double>) {
            read_f64(value);
        } else if constexpr (std::is_same_v<T, std::string>) {
            read_text(value);
        } else if constexpr (std::is_same_v<T, SampleVector>) {
            read_samples(value);
        } else if constexpr (IsVector<T>::value) {
            if constexpr (std::is_same_v<T, std::vector<Signal>>) {
                if (index_ != nullptr) {
                    read_indexed_signals();
                    return;
                }
            }
            const std::size_t least = min_encoded_size<typename T::value_type>();
            std::size_t count = 0;
            if (!read_count(count, least, "element")) return;
            if (prefix_) {
                // One element stands in for all: nothing is kept.
                value.resize(count == 0 ? 0 : 1);
                for (std::size_t i = 0; i < count && !error_; ++i) {
                    set_index(i);
                    const std::size_t after = saturating_product(count - 1 - i, least);
                    owed_ = saturating_sum(owed_, after);
                    read(value[0]);
                    owed_ -= after;
                }
                return;
            }
            value.resize(count);
            for (std::size_t i = 0; i < count && !error_; ++i) {
                set_index(i);
                read(value[i]);
            }
        } else if constexpr (std::is_same_v<T, std::array<bool, 16>>) {
            for (std::size_t i = 0; i < value.size() && !error_; ++i) {
                set_index(i);
                read_bool(value[i]);
            }
        } else if constexpr (std::is_same_v<T, Signal>) {
            read_signal(value);
        } else if constexpr (Record<T>) {
            for_each_field(value, *this);
        } else {
            static_assert(sizeof(T) == 0, "a record field of a type the file format lacks");
        }
    }

    std::size_t position() const noexcept { return pos_; }
    std::optional<DecodeError>& error() noexcept { return error_; }

    // Marks the input as refused; returns false so that readers can `return fail(...)`.
    bool fail(std::size_t offset, std::string message) {
        if (!error_) error_ = DecodeError{offset, path_text(), std::move(message)};
        return false;
    }

private:
    struct Segment {
        std::string_view name;
        std::size_t index;
        bool indexed;
    };

    std::size_t left() const noexcept { return in_.size() - pos_; }
    // What the file holds from here on: the input, or the whole file when only its first bytes
    // are at hand.
    std::size_t file_left() const noexcept { return size_ - pos_; }
    // The input ends before the file does: running out of it is no refusal.
    bool more_to_come() const noexcept { return prefix_ && in_.size() < size_; }

    static std::size_t saturating_sum(std::size_t a, std::size_t b) noexcept {
        return a > static_cast<std::size_t>(-1) - b ? static_cast<std::size_t>(-1) : a + b;
    }
    static std::size_t saturating_product(std::size_t a, std::size_t b) noexcept {
        return b != 0 && a > static_cast<std::size_t>(-1) / b ? static_cast<std::size_t>(-1)
                                                              : a * b;
    }

    // Stops the walk: `missing` more bytes are needed here, besides what the lists around still
    // owe. Returns false, like fail().
    bool run_out(std::size_t missing) {
        ran_out_ = true;
        needed_ = saturating_sum(missing, owed_);
        return fail(pos_, "the input ends here");
    }

    void set_index(std::size_t i) noexcept {
        if (depth_ > 0) path_[depth_ - 1] = Segment{path_[depth_ - 1].name, i, true};
    }

    std::string path_text() const {
        std::string text;
        for (std::size_t i = 0; i < depth_; ++i) {
            if (i > 0) text += '.';
            text += path_[i].name;
            if (path_[i].indexed) {
                text += '[';
                text += std::to_string(path_[i].index);
                text += ']';
            }
        }
        return text;
    }

    bool truncated(std::size_t start, std::size_t needed) {
        if (more_to_come()) return run_out(needed - left());
        return fail(start, concat({"truncated: needs ", bytes_text(needed), ", ",
                                   std::to_string(left()), " left"}));
    }

    bool read_bool(bool& value) {
        if (left() < 1) return truncated(pos_, 1);
        const std::uint8_t byte = in_[pos_];
        if (byte > 1) {
            static constexpr char digits[] = "0123456789ABCDEF";
            const char hex[2] = {digits[byte >> 4], digits[byte & 15]};
            return fail(pos_, concat({"boolean byte ", std::string_view(hex, 2),
                                      " is neither 00 nor 01"}));
        }
        value = byte == 1;
        ++pos_;
        return true;
    }

    bool read_varint(std::uint64_t& value) {
        const std::size_t start = pos_;
        if (left() >= 1 && in_[pos_] < 0x80) {  // the common one-byte case
            value = in_[pos_++];
            return true;
        }
        std::uint64_t v = 0;
        for (std::size_t i = 0;; ++i) {
            if (pos_ == in_.size()) {
                if (more_to_come()) return run_out(1);
                return fail(start, i == 0 ? "truncated: needs a varint, 0 bytes left"
                                          : "truncated: the data ends inside a varint");
            }
            const std::uint8_t byte = in_[pos_++];
            if (i == max_varint_bytes - 1) {
                if (byte & 0x80) return fail(start, "varint longer than 10 bytes");
                if (byte > 1) return fail(start, "varint exceeds 64 bits");
            }
            v |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
            if ((byte & 0x80) == 0) {
                // A zero final group means a shorter form existed; the encoder never writes
                // one, and refusing it keeps decode-then-encode byte-identical.
                if (byte == 0) return fail(start, "varint is not in its shortest form");
                value = v;
                return true;
            }
        }
    }

    bool read_f64(double& value) {
        if (left() < 8) return truncated(pos_, 8);
        // Assembled by shifts, so least significant first on hosts of either endianness.
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < 8; ++i) {
            bits |= static_cast<std::uint64_t>(in_[pos_ + i]) << (8 * i);
        }
        pos_ += 8;
        value = std::bit_cast<double>(bits);
        return true;
    }

    // A sequence or text length, refused unless the bytes left can hold that many elements of
    // at least `min_element` bytes each.
    bool read_count(std::size_t& count, std::size_t min_element, std::string_view noun) {
        const std::size_t start = pos_;
        std::uint64_t n = 0;
        if (!read_varint(n)) return false;
        if (n > file_left() / min_element) {
            return fail(start, concat({noun, " count ", std::to_string(n), " exceeds the ",
                                       bytes_text(file_left()), " left",
                                       min_element > 1 ? " (each element takes at least " : "",
                                       min_element > 1 ? bytes_text(min_element) : "",
                                       min_element > 1 ? ")" : ""}));
        }
        count = static_cast<std::size_t>(n);
        // A file that ends before this many elements is refused here, whatever follows.
        required_end_ =
            std::max(required_end_, saturating_sum(pos_, saturating_product(count, min_element)));
        return true;
    }

    bool read_text(std::string& value) {
        const std::size_t start = pos_;
        std::size_t count = 0;
        if (!read_count(count, 1, "byte")) return false;
        if (count > left()) return run_out(count - left());
        const std::string_view text(reinterpret_cast<const char*>(in_.data() + pos_), count);
        if (!utf8::is_valid(text)) return fail(start, "text is not valid UTF-8");
        value.assign(text);
        pos_ += count;
        return true;
    }

    // The fast path for the millions of samples of an arbitrary signal: takes a shortest-form
    // varint of at most 16 bits when three bytes are at hand, with no per-byte bounds checks.
    // Anything else is left to the general reader, which also names the error.
    bool read_well_formed_sample(std::int16_t& sample) noexcept {
        if (left() < 3) return false;
        const std::uint8_t* p = in_.data() + pos_;
        std::uint32_t z = 0;
        std::size_t length = 0;
        if (p[0] < 0x80) {
            z = p[0];
            length = 1;
        } else if (p[1] >= 0x01 && p[1] < 0x80) {
            z = (p[0] & 0x7Fu) | (std::uint32_t{p[1]} << 7);
            length = 2;
        } else if (p[1] >= 0x80 && p[2] >= 0x01 && p[2] <= 0x03) {
            z = (p[0] & 0x7Fu) | ((p[1] & 0x7Fu) << 7) | (std::uint32_t{p[2]} << 14);
            length = 3;
        } else {
            return false;
        }
        sample = unzigzag16(static_cast<std::uint16_t>(z));
        pos_ += length;
        return true;
    }

    bool read_samples(SampleVector& samples) {
        const std::size_t list = lists_++;
        std::size_t count = 0;
        if (!read_count(count, 1, "element")) return false;
        if (prefix_) return check_sample_values(count);
        if (deferred_ != nullptr && count >= min_deferred_samples) {
            const std::size_t end = scanner_(in_.data(), in_.size(), pos_, count);
            if (end != not_accepted) {
                deferred_->push_back(SampleRun{list, pos_, count});
                pos_ = end;
                return true;
            }
        }
        samples.resize(count);
        return read_sample_values(samples.data(), count);
    }

    // The prefix check's way through a sample list, keeping no sample: the vector scan over as
    // many samples as surely lie within the input (each takes at most three bytes), again and
    // again on what is left, then sample by sample, to name the error or count what is missing.
    // Only the list the input ends in takes more than one scan, and those scans shrink.
    bool check_sample_values(std::size_t count) {
        std::size_t done = 0;
        for (;;) {
            const std::size_t within = std::min(count - done, left() / 3);
            if (within == 0) break;
            const std::size_t end = scanner_(in_.data(), in_.size(), pos_, within);
            if (end == not_accepted) break;
            pos_ = end;
            done += within;
        }
        for (std::size_t i = done; i < count; ++i) {
            std::int16_t sample = 0;
            if (read_well_formed_sample(sample)) continue;
            set_index(i);
            const std::size_t start = pos_;
            const std::size_t after = count - 1 - i;
            owed_ = saturating_sum(owed_, after);
            std::uint64_t z = 0;
            const bool read = read_varint(z);
            owed_ -= after;
            if (!read) return false;
            if (z > 0xFFFF) {
                return fail(start,
                            concat({"zig-zag value ", std::to_string(z), " exceeds 16 bits"}));
            }
        }
        return true;
    }

    bool read_sample_values(std::int16_t* samples, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
#ifdef PROTOCOLS_SAMPLE_BLOCKS
            if (sample_blocks_ && count - i >= 8) {
                i += read_sample_blocks(in_.data(), in_.size(), pos_, samples + i, count - i);
                if (i == count) break;
            }
#endif
            if (read_well_formed_sample(samples[i])) continue;
            set_index(i);
            const std::size_t start = pos_;
            std::uint64_t z = 0;
            if (!read_varint(z)) return false;
            if (z > 0xFFFF) {
                return fail(start,
                            concat({"zig-zag value ", std::to_string(z), " exceeds 16 bits"}));
            }
            samples[i] = unzigzag16(static_cast<std::uint16_t>(z));
        }
        return true;
    }

    // The signals one at a time through one scratch signal, their kinds and marks kept.
    void read_indexed_signals() {
        std::size_t count = 0;
        if (!read_count(count, min_encoded_size<Signal>(), "element")) return;
        SignalIndex& index = *index_;
        index.count = count;
        index.kinds.resize(count);
        index.marks.clear();
        if (count > 0) index.marks.push_back(SignalIndex::Mark{0, pos_});
        SignalIndex::Mark last = index.marks.empty() ? SignalIndex::Mark{} : index.marks.back();
        Signal scratch;
        for (std::size_t i = 0; i < count; ++i) {
            set_index(i);
            const std::size_t runs_before = deferred_->size();
            if (!read_signal(scratch)) return;
            index.kinds[i] = static_cast<std::uint8_t>(scratch.index());
            const bool ran = deferred_->size() != runs_before;
            if (ran) deferred_->back().list = i;
            if (i + 1 < count && (ran || i + 1 - last.position >= signals_between_marks ||
                                  pos_ - last.offset >= bytes_between_marks)) {
                last = SignalIndex::Mark{i + 1, pos_};
                index.marks.push_back(last);
            }
        }
    }

    bool read_signal(Signal& signal) {
        const std::size_t start = pos_;
        std::uint64_t kind = 0;
        if (!read_varint(kind)) return false;
        if (kind >= std::variant_size_v<Signal>) {
            return fail(start, concat({"signal kind ", std::to_string(kind), " is not one of 0..",
                                       std::to_string(std::variant_size_v<Signal> - 1)}));
        }
        emplace_kind(signal, static_cast<std::size_t>(kind),
                     std::make_index_sequence<std::variant_size_v<Signal>>{});
        std::visit([this](auto& params) { read(params); }, signal);
        return !error_;
    }

    std::span<const std::uint8_t> in_;
    [[maybe_unused]] bool sample_blocks_;
    std::size_t size_;     // of the whole file
    bool prefix_ = false;  // see check_prefix_of
    bool ran_out_ = false;
    std::size_t needed_ = 0;
    std::size_t owed_ = 0;  // the fewest bytes the lists being read still need after this item
    std::size_t required_end_ = 0;
    std::vector<SampleRun>* deferred_ = nullptr;
    SignalIndex* index_ = nullptr;
    SampleScanner scanner_ = nullptr;
    std::size_t lists_ = 0;  // sample lists met so far
    std::size_t pos_ = 0;
    std::array<Segment, 8> path_{};
    std::size_t depth_ = 0;
    std::optional<DecodeError> error_;
};

// The whole record through `decoder`; the error if it is refused.
inline std::optional<DecodeError> decode_into(Decoder& decoder, Settings& settings,
                                              std::size_t size) {
    decoder.read(settings);
    if (decoder.error().has_value()) return std::move(decoder.error());
    const std::size_t end = decoder.position();
    if (end != size) {
        return DecodeError{
            end, "", concat({bytes_text(size - end), " left over after the settings record"})};
    }
    return std::nullopt;
}

}  // namespace protocols::detail
