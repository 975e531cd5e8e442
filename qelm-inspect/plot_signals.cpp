// --plot: the levels of every kind of signal over the session, sampled as the stimulator samples
// them (SAMPLING_RATE per second, sample k at t = k / SAMPLING_RATE), and reduced to the lowest
// and highest level of each pixel column as they are computed, so a 30-minute session needs no
// more memory than a few seconds.
//
// The levels are read from the parameters this way (the footnote of the picture says the same):
//   Constant     value
//   Sine         amplitude * (1 - depth * (1 - sin(2 pi frequency t + phase)) / 2), so that
//                depth 1 swings between 0 and amplitude, depth 0 holds amplitude; frequency in
//                Hz, phase in radians
//   Ramp         peak * min(1, t / up_duration, (session_duration - t) / down_duration): up
//                from 0 to peak over the first up_duration seconds of the session, held, and
//                down to 0 over its last down_duration seconds
//   MixedSignal  the product of its two signals
//   Arbitrary    sample k / 32767
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "inspect.hpp"
#include "plot.hpp"
#include "protocols/text.hpp"

namespace inspect::plot {

using namespace protocols;

namespace {

constexpr double nothing = std::numeric_limits<double>::quiet_NaN();

// A mixed signal whose inputs, followed through every level of mixing, are more signals than
// this is not computed: each sample costs one step per signal.
constexpr std::size_t max_mixed_signals = 16;

std::string seconds_of(std::uint64_t samples) {
    return format_approx(static_cast<double>(samples) / SAMPLING_RATE) + " s";
}

std::string samples_text(std::uint64_t samples) {
    return std::to_string(samples) + (samples == 1 ? " sample" : " samples");
}

// One signal of the evaluation: a leaf, or the product of two earlier entries.
struct Node {
    const Signal* signal = nullptr;
    std::size_t position = 0;
    std::size_t a = 0, b = 0;  // entries of the inputs of a mixed signal
};

// The level of a signal at each sample, from the signals it is made of, each computed once per
// sample in an order where inputs come before the mixed signals that use them.
class Levels {
public:
    Levels(std::vector<Node> nodes, double session_duration)
        : nodes_(std::move(nodes)), values_(nodes_.size()), duration_(session_duration) {}

    double at(std::uint64_t k) {
        const double t = static_cast<double>(k) / SAMPLING_RATE;
        for (std::size_t i = 0; i < nodes_.size(); ++i) {
            const Node& node = nodes_[i];
            values_[i] = std::visit(
                [&](const auto& p) -> double {
                    using P = std::decay_t<decltype(p)>;
                    if constexpr (std::is_same_v<P, ConstantSignalParams>) {
                        return p.value;
                    } else if constexpr (std::is_same_v<P, SineSignalParams>) {
                        const double angle = 2.0 * std::numbers::pi * p.frequency * t + p.phase;
                        return p.amplitude * (1.0 - p.depth * (1.0 - std::sin(angle)) / 2.0);
                    } else if constexpr (std::is_same_v<P, RampSignalParams>) {
                        return p.peak * ramp_fraction(p, t);
                    } else if constexpr (std::is_same_v<P, MixedSignalParams>) {
                        return values_[node.a] * values_[node.b];
                    } else {
                        return k < p.samples.size() ? sample_fraction(p.samples[k]) : nothing;
                    }
                },
                *node.signal);
        }
        return values_.back();
    }

private:
    // 0..1: the share of the peak at time t. A duration of zero or less is a step.
    double ramp_fraction(const RampSignalParams& p, double t) const {
        if (std::isnan(p.up_duration) || std::isnan(p.down_duration)) return nothing;
        double fraction = 1.0;
        if (p.up_duration > 0) fraction = std::min(fraction, t / p.up_duration);
        if (p.down_duration > 0) fraction = std::min(fraction, (duration_ - t) / p.down_duration);
        return std::clamp(fraction, 0.0, 1.0);
    }

    std::vector<Node> nodes_;
    std::vector<double> values_;
    double duration_;
};

// The signals that `root` is made of, inputs first and `root` last, or a problem: an input
// that does not exist, a cycle of mixed signals, or more signals than are computed.
struct Plan {
    std::vector<Node> nodes;
    std::vector<Problem> problems;
    std::string note;
};

Plan plan_levels(const Settings& s, std::size_t root) {
    Plan plan;
    const std::size_t n = s.signals.size();
    // Depth-first, without recursion: a frame per mixed signal being expanded.
    struct Frame {
        std::size_t position;
        int next = 0;  // 0: input a next, 1: input b, 2: done
    };
    std::vector<Frame> stack{{root}};
    std::vector<std::pair<std::size_t, std::size_t>> placed;  // position, entry
    auto entry_of = [&](std::size_t position) -> std::size_t {
        for (const auto& [p, e] : placed) {
            if (p == position) return e;
        }
        return SIZE_MAX;
    };
    while (!stack.empty()) {
        Frame& frame = stack.back();
        const Signal& signal = s.signals[frame.position];
        const auto* mixed = std::get_if<MixedSignalParams>(&signal);
        if (mixed == nullptr || frame.next == 2) {
            Node node{&signal, frame.position};
            if (mixed != nullptr) {
                node.a = entry_of(static_cast<std::size_t>(mixed->a_idx));
                node.b = entry_of(static_cast<std::size_t>(mixed->b_idx));
            }
            placed.emplace_back(frame.position, plan.nodes.size());
            plan.nodes.push_back(node);
            stack.pop_back();
            continue;
        }
        const int which = frame.next++;
        const std::uint64_t input = which == 0 ? mixed->a_idx : mixed->b_idx;
        const char* name = which == 0 ? "a" : "b";
        if (input >= n) {
            plan.problems.push_back(
                {"missing", "input " + std::string(name) + " of signal " +
                                std::to_string(frame.position) + ": signal " +
                                std::to_string(input) + " does not exist (" + std::to_string(n) +
                                (n == 1 ? " signal: 0" : " signals: 0..") +
                                (n == 1 ? "" : std::to_string(n - 1)) + "), so there is no level"});
            return plan;
        }
        const auto position = static_cast<std::size_t>(input);
        if (entry_of(position) != SIZE_MAX) continue;
        const auto on_stack = std::find_if(stack.begin(), stack.end(),
                                           [&](const Frame& f) { return f.position == position; });
        if (on_stack != stack.end()) {
            std::string path;
            for (auto it = on_stack; it != stack.end(); ++it) {
                path += std::to_string(it->position) + " -> ";
            }
            plan.problems.push_back(
                {"cycle", "signal " + std::to_string(root) + " mixes itself in a cycle (" + path +
                              std::to_string(position) + "), so there is no level"});
            return plan;
        }
        if (placed.size() + stack.size() >= max_mixed_signals) {
            plan.note = "made of more than " + std::to_string(max_mixed_signals) +
                        " signals through mixing: levels not computed";
            return plan;
        }
        stack.push_back({position});
    }
    return plan;
}

// The lowest and highest finite level of each column over samples [0, defined) of an axis of
// `axis` samples. A column also takes the last sample of the column before it, so the band
// covers the line from each sample to the next and an oscillation of a few samples per period
// fills its whole range in every column instead of beating against the column grid.
template <class Level>
Trace trace_levels(std::uint64_t axis, std::uint64_t defined, Level&& level) {
    Trace trace;
    trace.axis_samples = axis;
    if (axis == 0) return trace;
    if (static_cast<double>(plot_width) / static_cast<double>(axis) >= min_step_width) {
        trace.steps = true;
        trace.lo.assign(static_cast<std::size_t>(axis), nothing);
        for (std::uint64_t k = 0; k < defined; ++k) {
            const double v = level(k);
            if (std::isfinite(v)) {
                trace.lo[k] = v;
            } else {
                ++trace.non_finite;
            }
        }
        trace.hi = trace.lo;
        return trace;
    }
    const std::uint64_t columns = std::clamp<std::uint64_t>(axis / 3, 1, plot_width);
    trace.lo.assign(static_cast<std::size_t>(columns), nothing);
    trace.hi.assign(static_cast<std::size_t>(columns), nothing);
    double previous = nothing;
    for (std::uint64_t c = 0; c < columns; ++c) {
        const std::uint64_t begin = c * axis / columns;
        const std::uint64_t end = std::min(std::max(begin + 1, (c + 1) * axis / columns), defined);
        double lo = previous, hi = previous;
        for (std::uint64_t k = begin; k < end; ++k) {
            const double v = level(k);
            if (!std::isfinite(v)) {
                ++trace.non_finite;
                previous = nothing;
                continue;
            }
            // NaN compares false, so the first finite level replaces it.
            if (!(v >= lo)) lo = v;
            if (!(v <= hi)) hi = v;
            previous = v;
        }
        if (begin < end) {
            trace.lo[c] = lo;
            trace.hi[c] = hi;
        }
    }
    return trace;
}

}  // namespace

std::uint64_t max_computed_samples() { return num_samples_for(MAX_SESSION_DURATION); }

SignalCurve signal_curve(const Settings& s, std::size_t position) {
    SignalCurve curve;
    const std::uint64_t session = num_samples_for(s.session_duration);
    curve.session_samples = session;
    const bool usable_session = session > 0 && session <= max_computed_samples();
    const Signal& signal = s.signals[position];

    if (const auto* arbitrary = std::get_if<ArbitrarySignalParams>(&signal)) {
        const SampleVector& samples = arbitrary->samples;
        const std::uint64_t n = samples.size();
        const std::uint64_t axis = usable_session ? std::max(session, n) : n;
        curve.defined = n;
        curve.computed = true;
        curve.trace = trace_levels(axis, n, [&](std::uint64_t k) {
            return sample_fraction(samples[static_cast<std::size_t>(k)]);
        });
        if (usable_session && n != session) {
            const std::string what = samples_text(n) + " (" + seconds_of(n) +
                                     ") for a session of " + samples_text(session) + " (" +
                                     seconds_of(session) + ")";
            curve.problems.push_back({"length",
                                      n < session ? what + ": no samples for the session's last " +
                                                        seconds_of(session - n)
                                                  : what + ": " + samples_text(n - session) + " (" +
                                                        seconds_of(n - session) +
                                                        ") beyond the session's end"});
        }
    } else {
        Plan plan = plan_levels(s, position);
        curve.problems = std::move(plan.problems);
        curve.note = std::move(plan.note);
        if (!usable_session) {
            curve.problems.push_back(
                {"session", "the session duration " + format_float(s.session_duration) +
                                " s gives " + samples_text(session) + ", outside 1.." +
                                std::to_string(max_computed_samples()) + ": levels not computed"});
        }
        curve.computed = curve.problems.empty() && curve.note.empty();
        if (!curve.computed) return curve;
        // An arbitrary input shorter than the session ends the mixed signal's levels; one of
        // another length is shown as a problem of this panel too.
        curve.defined = session;
        for (const Node& node : plan.nodes) {
            const auto* input = std::get_if<ArbitrarySignalParams>(node.signal);
            if (input == nullptr || input->samples.size() == session) continue;
            const std::uint64_t n = input->samples.size();
            curve.defined = std::min(curve.defined, n);
            curve.problems.push_back(
                {"length", "input signal " + std::to_string(node.position) + " has " +
                               samples_text(n) + " (" + seconds_of(n) + "), the session " +
                               std::to_string(session) + " (" + seconds_of(session) + ")" +
                               (n < session ? ": no level after " + seconds_of(n) : "")});
        }
        Levels levels(std::move(plan.nodes), s.session_duration);
        curve.trace =
            trace_levels(session, curve.defined, [&](std::uint64_t k) { return levels.at(k); });
    }
    double lowest = 0.0, highest = 1.0;
    for (std::size_t i = 0; i < curve.trace.lo.size(); ++i) {
        if (std::isnan(curve.trace.lo[i])) continue;
        lowest = std::min(lowest, curve.trace.lo[i]);
        highest = std::max(highest, curve.trace.hi[i]);
    }
    if (lowest < 0.0 || highest > 1.0) {
        curve.problems.push_back(
            {"range", "levels reach " + format_approx(lowest < 0.0 ? lowest : highest) +
                          (lowest < 0.0 && highest > 1.0 ? " and " + format_approx(highest)
                                                         : std::string()) +
                          ", outside 0..1 (0 = off, 1 = full intensity)"});
    }
    if (curve.trace.non_finite > 0) {
        curve.problems.push_back({"not-finite",
                                  std::to_string(curve.trace.non_finite) + " of the levels " +
                                      (curve.trace.non_finite == 1 ? "is" : "are") +
                                      " not a number (NaN or infinite) and not drawn"});
    }
    return curve;
}

std::string parameters_with_units(const Settings& s, const Signal& signal) {
    std::string text;
    bool plain = false;
    std::visit(
        [&](const auto& params) {
            for_each_field(params, [&](std::string_view name, const auto& value) {
                if constexpr (std::is_same_v<std::decay_t<decltype(value)>, double>) {
                    if (!text.empty()) text += ", ";
                    text += std::string(name) + " " + format_float(value);
                    if (name == "frequency") text += " Hz";
                    if (name == "phase") text += " rad";
                    if (name.ends_with("_duration")) text += " s";
                } else {
                    plain = true;
                }
            });
        },
        signal);
    return plain ? describe_parameters(s, signal) : text;
}

}  // namespace inspect::plot
