// Decoding in two steps: everything but the sample lists first (which are only validated),
// and the lists later, from the same bytes, when they are needed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <utility>
#include <variant>
#include <vector>

#include "decoder.hpp"
#include "protocols/decoding.hpp"
#include "protocols/signal_list.hpp"

namespace protocols {

using detail::Decoder;
using sample_lists::sample_scanner;
using sample_lists::use_sample_blocks;

namespace {

// Visits the sample lists of a record in field order, the order the decoder meets them in.
template <class Visit>
class SampleLists {
public:
    explicit SampleLists(Visit& visit) : visit_(visit) {}

    template <class T>
    void operator()(std::string_view, T& field) {
        walk(field);
    }

    template <class T>
    void walk(T& value) {
        if constexpr (std::is_same_v<T, SampleVector>) {
            visit_(value);
        } else if constexpr (IsVector<T>::value) {
            for (auto& item : value) walk(item);
        } else if constexpr (std::is_same_v<T, Signal>) {
            std::visit([&](auto& params) { walk(params); }, value);
        } else if constexpr (Record<T>) {
            for_each_field(value, *this);
        }
    }

private:
    Visit& visit_;
};

}  // namespace

DeferredResult decode_settings_deferred(std::span<const std::uint8_t> bytes, SampleScan scan) {
    Decoder decoder(bytes, use_sample_blocks());
    DeferredSettings result;
    decoder.defer_samples(&result.runs, sample_scanner(scan));
    if (std::optional<DecodeError> failed =
            detail::decode_into(decoder, result.settings, bytes.size())) {
        return std::move(*failed);
    }
    return result;
}

void decode_deferred_samples(Settings& settings, std::span<const std::uint8_t> bytes,
                             const std::vector<SampleRun>& runs, const InputDone& done) {
    // The memory of every list first: running out of it leaves the input untouched.
    std::vector<SampleVector*> lists;
    auto collect = [&lists](SampleVector& samples) { lists.push_back(&samples); };
    SampleLists<decltype(collect)> walker(collect);
    walker.walk(settings);
    std::vector<SampleVector*> targets;
    targets.reserve(runs.size());
    for (const SampleRun& run : runs) {
        if (run.list >= lists.size())
            throw std::invalid_argument("sample lists not in this record");
        targets.push_back(lists[run.list]);
    }
    decode_sample_runs(targets, bytes, runs, done);
}

}  // namespace protocols
