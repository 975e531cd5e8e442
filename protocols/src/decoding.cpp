// The strict protocol file decoder: one generic visitor over the record field declarations,
// mirroring the encoder type by type.
#include "protocols/decoding.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "protocols/encoding.hpp"
#include "protocols/utf8.hpp"

namespace protocols {
namespace {

// Messages are built by appending pieces; `"literal" + std::string` chains trip a false
// overlap warning in some compilers at high optimisation.
std::string concat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) text += part;
    return text;
}

std::string bytes_text(std::size_t n) {
    return concat({std::to_string(n), n == 1 ? " byte" : " bytes"});
}

constexpr std::size_t max_varint_bytes = 10;

std::size_t min_encoded_size_of_signal();

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
std::size_t min_payload_size(std::index_sequence<I...>) {
    return std::min({min_encoded_size<std::variant_alternative_t<I, Signal>>()...});
}

std::size_t min_encoded_size_of_signal() {
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
    explicit Decoder(std::span<const std::uint8_t> in) noexcept : in_(in) {}

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
            std::size_t count = 0;
            if (!read_count(count, min_encoded_size<typename T::value_type>(), "element")) return;
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
        if (n > left() / min_element) {
            return fail(start, concat({noun, " count ", std::to_string(n), " exceeds the ",
                                       bytes_text(left()), " left",
                                       min_element > 1 ? " (each element takes at least " : "",
                                       min_element > 1 ? bytes_text(min_element) : "",
                                       min_element > 1 ? ")" : ""}));
        }
        count = static_cast<std::size_t>(n);
        return true;
    }

    bool read_text(std::string& value) {
        const std::size_t start = pos_;
        std::size_t count = 0;
        if (!read_count(count, 1, "byte")) return false;
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
        std::size_t count = 0;
        if (!read_count(count, 1, "element")) return false;
        samples.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
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
    std::size_t pos_ = 0;
    std::array<Segment, 8> path_{};
    std::size_t depth_ = 0;
    std::optional<DecodeError> error_;
};

}  // namespace

std::string DecodeError::to_string() const {
    return concat({"offset ", std::to_string(offset), ": ", path, path.empty() ? "" : ": ",
                   message});
}

DecodeResult decode_settings(std::span<const std::uint8_t> bytes) {
    Decoder decoder(bytes);
    Settings settings;
    decoder.read(settings);
    if (std::optional<DecodeError>& failed = decoder.error(); failed.has_value()) {
        return std::move(*failed);
    }
    const std::size_t end = decoder.position();
    if (end != bytes.size()) {
        return DecodeError{end, "",
                           concat({bytes_text(bytes.size() - end),
                                   " left over after the settings record"})};
    }
    return settings;
}

}  // namespace protocols
