// The largest a protocol file can be, so that the command never reads (or holds) more than
// that whatever it is pointed at: a huge file, a pipe, /dev/zero.
//
// A session lasts at most MAX_SESSION_DURATION seconds of SAMPLING_RATE samples, so an
// arbitrary signal holds at most 1800 s x 5000/s = 9,000,000 samples, each at most 3 bytes in
// the file. The format itself does not limit how many signals a protocol holds; the command
// accepts up to `max_full_length_signals` of the largest signals (or any mix of signals in the
// same bytes: many more small ones fit). That is more full-length curves than the six inputs
// of the two channels (two coil amplitudes and one modulation each) can use at once. The rest
// of the file is the machine description the module writes, with every number at its longest
// encoding (ten bytes per integer).
//
// The bound is walked from the same field declarations as the encoder, so a new field counts
// here without anyone remembering to add it.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "inspect.hpp"

namespace inspect {

using namespace protocols;

namespace {

constexpr std::uint64_t max_full_length_signals = 8;
constexpr std::uint64_t max_varint_bytes = 10;
constexpr std::uint64_t max_sample_bytes = 3;  // a zig-zag mapped 16-bit value as a varint

constexpr std::uint64_t varint_size(std::uint64_t value) {
    std::uint64_t n = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++n;
    }
    return n;
}

const std::uint64_t max_samples = num_samples_for(MAX_SESSION_DURATION);

std::uint64_t largest_signal();

// The longest encoding of a field: scalars at their longest form, lists at the lengths the
// record holds, and the signal list and samples at the limits above.
struct LargestEncoding {
    std::uint64_t total = 0;

    template <class T>
    void operator()(std::string_view, const T& field) {
        add(field);
    }

    template <class T>
    void add(const T& value) {
        if constexpr (std::is_same_v<T, bool>) {
            total += 1;
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
            total += max_varint_bytes;
        } else if constexpr (std::is_same_v<T, double>) {
            total += 8;
        } else if constexpr (std::is_same_v<T, std::string>) {
            total += varint_size(value.size()) + value.size();
        } else if constexpr (std::is_same_v<T, SampleVector>) {
            total += varint_size(max_samples) + max_samples * max_sample_bytes;
        } else if constexpr (std::is_same_v<T, std::vector<Signal>>) {
            total +=
                varint_size(max_full_length_signals) + max_full_length_signals * largest_signal();
        } else if constexpr (IsVector<T>::value) {
            total += varint_size(value.size());
            for (const auto& element : value) add(element);
        } else if constexpr (std::is_same_v<T, std::array<bool, 16>>) {
            total += value.size();
        } else if constexpr (Record<T>) {
            for_each_field(value, *this);
        } else {
            static_assert(sizeof(T) == 0, "a record field the size bound does not know");
        }
    }
};

template <std::size_t... I>
std::uint64_t largest_payload(std::index_sequence<I...>) {
    auto size_of = [](const auto& params) {
        LargestEncoding walk;
        walk.add(params);
        return walk.total;
    };
    return std::max({size_of(std::variant_alternative_t<I, Signal>{})...});
}

std::uint64_t largest_signal() {
    return varint_size(std::variant_size_v<Signal> - 1) +
           largest_payload(std::make_index_sequence<std::variant_size_v<Signal>>{});
}

}  // namespace

std::uint64_t max_protocol_file_size() {
    static const std::uint64_t size = [] {
        Settings settings;
        settings.machine_config = MachineConfig::make_default();
        LargestEncoding walk;
        walk.add(settings);
        return walk.total;
    }();
    return size;
}

}  // namespace inspect
