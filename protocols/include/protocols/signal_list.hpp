// The signals of a record as a readers' interface, for files of millions of small signals: a
// decoded signal takes about 40 bytes while one in a file takes a few, so the signals can stay
// in the file's bytes, with a small index, and be decoded one at a time as they are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "protocols/decoding.hpp"
#include "protocols/settings.hpp"

namespace protocols {

// Called with each signal's position and the signal; the reference is valid during the call.
using SignalVisit = std::function<void(std::size_t position, const Signal& signal)>;

class SignalList {
public:
    virtual ~SignalList() = default;
    virtual std::size_t size() const = 0;
    // The signal's kind, its variant index (0 Constant .. 4 Arbitrary), without decoding it.
    virtual std::size_t kind(std::size_t position) const = 0;
    // Hands the signals from `first` up to (not including) `last` to `visit`, in order.
    virtual void visit(std::size_t first, std::size_t last, const SignalVisit& visit) const = 0;

    void visit_all(const SignalVisit& visit) const { this->visit(0, size(), visit); }
    Signal at(std::size_t position) const;
};

// The signals of a decoded record.
class VectorSignals final : public SignalList {
public:
    explicit VectorSignals(const std::vector<Signal>& signals) noexcept : signals_(signals) {}
    std::size_t size() const override { return signals_.size(); }
    std::size_t kind(std::size_t position) const override { return signals_[position].index(); }
    void visit(std::size_t first, std::size_t last, const SignalVisit& visit) const override;

private:
    const std::vector<Signal>& signals_;
};

// Where the signals lie in a file's bytes: each one's kind, and the offset of every so many
// signals, so that any signal is reached by decoding a few small ones before it.
struct SignalIndex {
    struct Mark {
        std::size_t position = 0;  // the signal that begins at `offset`
        std::size_t offset = 0;
    };
    std::size_t count = 0;
    std::vector<std::uint8_t> kinds;
    std::vector<Mark> marks;  // by position; the first is signal 0, when there is one
};

// A mark every so many signals, and wherever the signals since the last mark took this many
// bytes, and after every signal whose samples were only validated (its run): reaching a signal
// never decodes a run or more than this many bytes of signals before it.
inline constexpr std::size_t signals_between_marks = 32;
inline constexpr std::size_t bytes_between_marks = 1024;

// Decodes everything but the signals, which are validated (as decode_settings does, with the
// same refusals) and indexed instead of kept; `settings.signals` stays empty. Sample lists of at
// least min_deferred_samples samples are validated by the vector scan and listed in `runs`,
// whose `list` is the position of their signal.
struct IndexedSettings {
    Settings settings;
    SignalIndex signals;
    std::vector<SampleRun> runs;  // by position
};
using IndexedResult = std::variant<IndexedSettings, DecodeError>;
IndexedResult decode_settings_indexed(std::span<const std::uint8_t> bytes);

// The signals of an indexed record, decoded from `bytes` (the ones that were indexed, which
// must stay alive) as they are visited. A signal with a run is taken from `decoded` instead
// when that is given: the decoded signals of the runs, in the order of `runs` (their bytes
// may have been released).
class StoredSignals final : public SignalList {
public:
    StoredSignals(std::span<const std::uint8_t> bytes, const SignalIndex& index,
                  const std::vector<SampleRun>* runs = nullptr,
                  const std::vector<Signal>* decoded = nullptr) noexcept
        : bytes_(bytes), index_(index), runs_(runs), decoded_(decoded) {}
    std::size_t size() const override { return index_.count; }
    std::size_t kind(std::size_t position) const override { return index_.kinds[position]; }
    void visit(std::size_t first, std::size_t last, const SignalVisit& visit) const override;

    // The run of the signal at `position`, as an index into `runs`, if it has one.
    std::optional<std::size_t> run_of(std::size_t position) const;

private:
    std::span<const std::uint8_t> bytes_;
    const SignalIndex& index_;
    const std::vector<SampleRun>* runs_;
    const std::vector<Signal>* decoded_;
};

// Fills `lists[k]` with the samples of `runs[k]` from `bytes`, as decode_deferred_samples does
// (memory first, then in steps, telling `done`), for runs whose `list` means anything.
void decode_sample_runs(std::span<SampleVector* const> lists, std::span<const std::uint8_t> bytes,
                        const std::vector<SampleRun>& runs, const InputDone& done = {});

}  // namespace protocols
