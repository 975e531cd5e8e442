// The signals of a record read through one interface, whether decoded or left in the file's
// bytes with an index, and the indexing decoder.
#include "protocols/signal_list.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <utility>
#include <variant>
#include <vector>

#include "decoder.hpp"

namespace protocols {

using detail::Decoder;
using sample_lists::not_accepted;
using sample_lists::sample_scanner;
using sample_lists::use_sample_blocks;

Signal SignalList::at(std::size_t position) const {
    Signal result;
    visit(position, position + 1,
          [&result](std::size_t, const Signal& signal) { result = signal; });
    return result;
}

void VectorSignals::visit(std::size_t first, std::size_t last, const SignalVisit& visit) const {
    last = std::min(last, signals_.size());
    for (std::size_t i = first; i < last; ++i) visit(i, signals_[i]);
}

IndexedResult decode_settings_indexed(std::span<const std::uint8_t> bytes) {
    Decoder decoder(bytes, use_sample_blocks());
    IndexedSettings result;
    decoder.index_signals(&result.signals, &result.runs, sample_scanner(SampleScan::best));
    if (std::optional<DecodeError> failed =
            detail::decode_into(decoder, result.settings, bytes.size())) {
        return std::move(*failed);
    }
    return result;
}

std::optional<std::size_t> StoredSignals::run_of(std::size_t position) const {
    if (runs_ == nullptr) return std::nullopt;
    const auto it = std::lower_bound(runs_->begin(), runs_->end(), position,
                                     [](const SampleRun& run, std::size_t wanted) {
                                         return run.list < wanted;
                                     });
    if (it == runs_->end() || it->list != position) return std::nullopt;
    return static_cast<std::size_t>(it - runs_->begin());
}

void StoredSignals::visit(std::size_t first, std::size_t last, const SignalVisit& visit) const {
    last = std::min(last, index_.count);
    if (first >= last) return;
    const auto& marks = index_.marks;
    auto mark_at = [&marks](std::size_t position) {
        // The last mark at or before `position`; the first mark is signal 0.
        auto it = std::upper_bound(marks.begin(), marks.end(), position,
                                   [](std::size_t wanted, const SignalIndex::Mark& mark) {
                                       return wanted < mark.position;
                                   });
        return *(it - 1);
    };
    const SignalIndex::Mark start = mark_at(first);
    Decoder decoder(bytes_, use_sample_blocks());
    Signal signal;
    std::size_t pos = start.offset;
    for (std::size_t i = start.position; i < last; ++i) {
        if (decoded_ != nullptr && index_.kinds[i] == std::variant_size_v<Signal> - 1) {
            if (const std::optional<std::size_t> run = run_of(i)) {
                // Its samples are decoded elsewhere and their bytes may be gone; a mark
                // follows every such signal.
                if (i >= first) visit(i, (*decoded_)[*run]);
                if (i + 1 < last) pos = mark_at(i + 1).offset;
                continue;
            }
        }
        pos = decoder.read_validated_signal(pos, signal);
        if (pos == not_accepted)
            throw std::invalid_argument("signals not validated in these bytes");
        if (i >= first) visit(i, signal);
    }
}

void decode_sample_runs(std::span<SampleVector* const> lists, std::span<const std::uint8_t> bytes,
                        const std::vector<SampleRun>& runs, const InputDone& done) {
    if (lists.size() != runs.size()) throw std::invalid_argument("a list for every run");
    // The memory of every list first: running out of it leaves the input untouched.
    for (std::size_t k = 0; k < runs.size(); ++k) lists[k]->resize(runs[k].count);
    // In steps, so that `done` can let go of the input behind as the samples grow.
    constexpr std::size_t step = std::size_t{1} << 18;
    Decoder decoder(bytes, use_sample_blocks());
    for (std::size_t k = 0; k < runs.size(); ++k) {
        const SampleRun& run = runs[k];
        std::int16_t* out = lists[k]->data();
        for (std::size_t first = 0; first < run.count; first += step) {
            const std::size_t n = std::min(step, run.count - first);
            const std::size_t from = first == 0 ? run.offset : decoder.position();
            if (!decoder.read_validated_samples(from, out + first, n)) {
                throw std::invalid_argument("sample list not validated in these bytes");
            }
            if (done) done(run.offset, decoder.position());
        }
    }
}

}  // namespace protocols
