// Checks of a settings record: dangling positions, self-dependent mixed signals, sample counts,
// the intensity set-point, external input numbers, and the values the stimulator cannot
// produce (levels outside 0..1, frequencies it cannot sample, durations it cannot run, numbers
// that are not finite). Iterative throughout, since a file can hold millions of signals chained
// one to the next.
#include "protocols/checks.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "protocols/text.hpp"

namespace protocols {
namespace {

using std::size_t;

std::string plural(std::uint64_t n, std::string_view noun) {
    std::string text = std::to_string(n);
    text += ' ';
    text += noun;
    if (n != 1) text += 's';
    return text;
}

// "3 signals: 0..2", "1 signal: 0", "no signals": the positions that exist.
std::string positions_of(std::uint64_t n, std::string_view noun) {
    if (n == 0) return "no " + std::string(noun) + "s";
    std::string text = plural(n, noun) + ": 0";
    if (n > 1) text += ".." + std::to_string(n - 1);
    return text;
}

std::string available(std::uint64_t n, std::string_view noun) {
    return "(" + positions_of(n, noun) + ")";
}

std::string signal_path(size_t i) { return "signals[" + std::to_string(i) + "]"; }

// Up to `limit` positions joined as "1, 2 and 4", the rest counted.
std::string list_positions(const std::vector<size_t>& positions, size_t limit) {
    std::string text;
    const size_t shown = positions.size() > limit ? limit : positions.size();
    for (size_t k = 0; k < shown; ++k) {
        if (k > 0) text += (k + 1 == positions.size()) ? " and " : ", ";
        text += std::to_string(positions[k]);
    }
    if (shown < positions.size()) {
        text += " and " + std::to_string(positions.size() - shown) + " more";
    }
    return text;
}

// "1 -> 2 -> 4 -> 1", shortened in the middle for long cycles.
std::string cycle_text(const std::vector<size_t>& cycle, size_t limit) {
    std::string text;
    auto step = [&text](size_t position) {
        if (!text.empty()) text += " -> ";
        text += std::to_string(position);
    };
    if (cycle.size() <= limit + 1) {
        for (size_t position : cycle) step(position);
    } else {
        for (size_t k = 0; k < limit; ++k) step(cycle[k]);
        text += " -> (" + std::to_string(cycle.size() - 1 - limit) + " more)";
        step(cycle.back());
    }
    return text;
}

// Where the checks put what they find: handed on one by one, so that a file whose millions of
// signals all have something to report is never held as millions of findings.
struct Findings {
    const FindingSink& sink;
    void push_back(const Finding& finding) { sink(finding); }
};

// The dependencies of mixed signals on other existing signals, self-references left out (they
// are reported on their own). At most two edges per signal.
struct Graph {
    std::vector<std::array<size_t, 2>> edges;
    std::vector<std::uint8_t> degree;

    explicit Graph(const std::vector<Signal>& signals)
        : edges(signals.size()), degree(signals.size(), 0) {
        const size_t n = signals.size();
        for (size_t i = 0; i < n; ++i) {
            const auto* mixed = std::get_if<MixedSignalParams>(&signals[i]);
            if (mixed == nullptr) continue;
            for (std::uint64_t target : {mixed->a_idx, mixed->b_idx}) {
                if (target >= n || target == i) continue;
                const auto t = static_cast<size_t>(target);
                if (degree[i] == 1 && edges[i][0] == t) continue;  // a and b name the same one
                edges[i][degree[i]++] = t;
            }
        }
    }
    size_t size() const noexcept { return degree.size(); }
};

constexpr size_t unvisited = std::numeric_limits<size_t>::max();

// Strongly connected components of more than one signal (Tarjan, with an explicit stack),
// each sorted, the list ordered by smallest member; `component` receives each signal's group.
std::vector<std::vector<size_t>> cyclic_groups(const Graph& g, std::vector<size_t>& component) {
    const size_t n = g.size();
    std::vector<size_t> index(n, unvisited), low(n, 0);
    std::vector<bool> on_stack(n, false);
    std::vector<size_t> stack;
    struct Frame {
        size_t node;
        std::uint8_t next_edge;
    };
    std::vector<Frame> frames;
    std::vector<std::vector<size_t>> groups;
    component.assign(n, unvisited);
    size_t counter = 0;

    auto visit = [&](size_t v) {
        index[v] = low[v] = counter++;
        stack.push_back(v);
        on_stack[v] = true;
        frames.push_back(Frame{v, 0});
    };

    for (size_t root = 0; root < n; ++root) {
        if (index[root] != unvisited || g.degree[root] == 0) continue;
        visit(root);
        while (!frames.empty()) {
            const size_t v = frames.back().node;
            if (frames.back().next_edge < g.degree[v]) {
                const size_t w = g.edges[v][frames.back().next_edge++];
                if (index[w] == unvisited) {
                    visit(w);
                } else if (on_stack[w]) {
                    low[v] = std::min(low[v], index[w]);
                }
                continue;
            }
            if (low[v] == index[v]) {
                std::vector<size_t> members;
                size_t w;
                do {
                    w = stack.back();
                    stack.pop_back();
                    on_stack[w] = false;
                    members.push_back(w);
                } while (w != v);
                if (members.size() > 1) {
                    std::sort(members.begin(), members.end());
                    for (size_t m : members) component[m] = groups.size();
                    groups.push_back(std::move(members));
                }
            }
            frames.pop_back();
            if (!frames.empty()) {
                const size_t u = frames.back().node;
                low[u] = std::min(low[u], low[v]);
            }
        }
    }
    std::sort(groups.begin(), groups.end(),
              [](const auto& a, const auto& b) { return a.front() < b.front(); });
    return groups;
}

// A shortest cycle through `start` within its group (breadth first), as start -> ... -> start.
std::vector<size_t> shortest_cycle(const Graph& g, const std::vector<size_t>& component,
                                   size_t start, std::vector<size_t>& parent) {
    const size_t group = component[start];
    std::vector<size_t> queue{start};
    parent[start] = start;
    std::vector<size_t> touched{start};
    size_t closing = unvisited;
    for (size_t head = 0; head < queue.size() && closing == unvisited; ++head) {
        const size_t v = queue[head];
        for (std::uint8_t k = 0; k < g.degree[v]; ++k) {
            const size_t w = g.edges[v][k];
            if (component[w] != group) continue;
            if (w == start) {
                closing = v;
                break;
            }
            if (parent[w] != unvisited) continue;
            parent[w] = v;
            touched.push_back(w);
            queue.push_back(w);
        }
    }
    std::vector<size_t> cycle{start};
    for (size_t v = closing; v != start; v = parent[v]) cycle.push_back(v);
    std::reverse(cycle.begin() + 1, cycle.end());
    cycle.push_back(start);
    for (size_t v : touched) parent[v] = unvisited;  // ready for the next group
    return cycle;
}

void check_cycles(const std::vector<Signal>& signals, Findings& findings) {
    const Graph g(signals);
    std::vector<size_t> component;
    const auto groups = cyclic_groups(g, component);
    std::vector<size_t> parent(g.size(), unvisited);
    for (const auto& members : groups) {
        const std::vector<size_t> cycle = shortest_cycle(g, component, members.front(), parent);
        std::string message = "mixed signals " + list_positions(members, 10);
        if (cycle.size() - 1 == members.size()) {
            message += " form a cycle: ";
        } else {
            message += " depend on one another in cycles, for example ";
        }
        message += cycle_text(cycle, 10);
        findings.push_back(Finding{signal_path(members.front()), std::move(message)});
    }
}

// --- values the stimulator cannot produce ---------------------------------------------------

// The shortest session set_session_duration admits; the longest is MAX_SESSION_DURATION.
constexpr double shortest_session = 0.01;

constexpr std::string_view level_rule = "levels are fractions of full intensity, 0..1";

// A number that is NaN or infinite; true when it was reported, so that no range rule adds a
// second finding about the same value.
bool report_non_finite(const std::string& path, double value, Findings& findings) {
    if (std::isfinite(value)) return false;
    findings.push_back(Finding{path, format_float(value) + " is not a finite number"});
    return true;
}

void check_fraction(const std::string& path, double value, std::string_view rule,
                    Findings& findings) {
    if (report_non_finite(path, value, findings)) return;
    if (value < 0.0) {
        findings.push_back(Finding{path, format_float(value) + " is below 0 (" + std::string(rule) +
                                             ")"});
    } else if (value > 1.0) {
        findings.push_back(Finding{path, format_float(value) + " is above 1 (" + std::string(rule) +
                                             ")"});
    }
}

void check_level(const std::string& path, double value, Findings& findings) {
    check_fraction(path, value, level_rule, findings);
}

void check_frequency(const std::string& path, double value, Findings& findings) {
    if (report_non_finite(path, value, findings)) return;
    constexpr double nyquist = SAMPLING_RATE / 2.0;
    if (value <= 0.0) {
        findings.push_back(Finding{path, format_float(value) +
                                             " Hz is not above 0 (a sine needs a positive "
                                             "frequency)"});
    } else if (value > nyquist) {
        findings.push_back(Finding{path, format_float(value) + " Hz is above " +
                                             format_float(nyquist) +
                                             " Hz, half the sampling rate of " +
                                             format_float(SAMPLING_RATE) + " samples per second"});
    }
}

bool session_is_valid(double duration) {
    return duration >= shortest_session && duration <= MAX_SESSION_DURATION;
}

// A duration within a session: not negative, not longer than the session (when the session's
// own length is one the stimulator runs; otherwise that is what is reported).
bool check_duration(const std::string& path, double value, double session, Findings& findings) {
    if (report_non_finite(path, value, findings)) return false;
    if (value < 0.0) {
        findings.push_back(Finding{path, format_float(value) + " s is negative"});
        return false;
    }
    if (session_is_valid(session) && value > session) {
        findings.push_back(Finding{path, format_float(value) + " s is longer than the session of " +
                                             format_float(session) + " s"});
        return false;
    }
    return true;
}

void check_ramp(const std::string& path, const RampSignalParams& ramp, double session,
                Findings& findings) {
    check_level(path + ".peak", ramp.peak, findings);
    const bool up = check_duration(path + ".up_duration", ramp.up_duration, session, findings);
    const bool down =
        check_duration(path + ".down_duration", ramp.down_duration, session, findings);
    if (up && down && session_is_valid(session) &&
        ramp.up_duration + ramp.down_duration > session) {
        findings.push_back(Finding{
            path, "up_duration " + format_float(ramp.up_duration) + " s and down_duration " +
                      format_float(ramp.down_duration) + " s add up to " +
                      format_float(ramp.up_duration + ramp.down_duration) +
                      " s, longer than the session of " + format_float(session) + " s"});
    }
}

// Samples are codes 0..32767 for levels 0..1; the decoder takes any 16-bit value.
void check_samples(const std::string& path, const SampleVector& samples, Findings& findings) {
    const auto negative = [](std::int16_t sample) { return sample < 0; };
    const auto first = std::find_if(samples.begin(), samples.end(), negative);
    if (first == samples.end()) return;
    const auto more = static_cast<std::uint64_t>(std::count_if(first + 1, samples.end(), negative));
    std::string message = std::to_string(*first) +
                          " is below 0 (levels are fractions of full intensity, 0..1; samples "
                          "hold them as 0..32767)";
    if (more > 0) {
        message += (more == 1 ? ", and so is " : ", and so are ") + plural(more, "later sample");
    }
    findings.push_back(
        Finding{path + "[" + std::to_string(static_cast<size_t>(first - samples.begin())) + "]",
                std::move(message)});
}

// NaN or infinity anywhere in the machine description, by its field paths.
struct NonFiniteWalk {
    Findings& findings;
    std::string path;

    template <class T>
    void operator()(std::string_view name, const T& value) {
        const size_t length = path.size();
        path += '.';
        path += name;
        visit(value);
        path.resize(length);
    }

    template <class T>
    void visit(const T& value) {
        if constexpr (std::same_as<T, double>) {
            report_non_finite(path, value, findings);
        } else if constexpr (Record<T>) {
            for_each_field(value, *this);
        } else if constexpr (IsVector<T>::value) {
            for (size_t i = 0; i < value.size(); ++i) {
                const size_t length = path.size();
                path += "[" + std::to_string(i) + "]";
                visit(value[i]);
                path.resize(length);
            }
        }
    }
};

void check_signals(const Settings& s, Findings& findings) {
    const size_t n = s.signals.size();
    const std::uint64_t session_samples = num_samples_for(s.session_duration);
    for (size_t i = 0; i < n; ++i) {
        const Signal& signal = s.signals[i];
        if (const auto* c = std::get_if<ConstantSignalParams>(&signal)) {
            check_level(signal_path(i) + ".value", c->value, findings);
        } else if (const auto* sine = std::get_if<SineSignalParams>(&signal)) {
            const std::string path = signal_path(i);
            check_level(path + ".amplitude", sine->amplitude, findings);
            check_frequency(path + ".frequency", sine->frequency, findings);
            report_non_finite(path + ".phase", sine->phase, findings);
            check_fraction(path + ".depth", sine->depth, "depths are fractions, 0..1", findings);
        } else if (const auto* ramp = std::get_if<RampSignalParams>(&signal)) {
            check_ramp(signal_path(i), *ramp, s.session_duration, findings);
        } else if (const auto* mixed = std::get_if<MixedSignalParams>(&signal)) {
            const std::pair<std::string_view, std::uint64_t> refs[] = {{"a_idx", mixed->a_idx},
                                                                       {"b_idx", mixed->b_idx}};
            for (const auto& [field, target] : refs) {
                const std::string path = signal_path(i) + "." + std::string(field);
                if (target >= n) {
                    findings.push_back(Finding{path, "names signal " + std::to_string(target) +
                                                         ", which does not exist " +
                                                         available(n, "signal")});
                } else if (target == i) {
                    findings.push_back(Finding{path, "names the mixed signal itself"});
                }
            }
        } else if (const auto* arbitrary = std::get_if<ArbitrarySignalParams>(&s.signals[i])) {
            const std::uint64_t count = arbitrary->samples.size();
            if (count != session_samples) {
                findings.push_back(Finding{signal_path(i) + ".samples",
                                           "holds " + plural(count, "sample") +
                                               ", but the session of " +
                                               format_float(s.session_duration) + " s has " +
                                               std::to_string(session_samples)});
            }
            check_samples(signal_path(i) + ".samples", arbitrary->samples, findings);
        }
    }
}

void check_source(const Settings& s, const std::string& path, const SignalSourceSelection& source,
                  Findings& findings) {
    if (source.external_selected) {
        const std::uint64_t inputs = s.machine_config.num_external_signal_sources;
        if (source.external >= inputs) {
            findings.push_back(Finding{path, "selects external input " +
                                                 std::to_string(source.external) +
                                                 ", which does not exist (the machine has " +
                                                 positions_of(inputs, "input") + ")"});
        }
    } else if (source.internal >= s.signals.size()) {
        findings.push_back(Finding{path, "names signal " + std::to_string(source.internal) +
                                             ", which does not exist " +
                                             available(s.signals.size(), "signal")});
    }
}

void check_channel(const Settings& s, std::string_view name, const ChannelSettings& channel,
                   Findings& findings) {
    if (!channel.enabled) return;
    const std::string prefix = std::string(name) + ".";
    check_source(s, prefix + "amplitude1_source", channel.amplitude1_source, findings);
    check_source(s, prefix + "amplitude2_source", channel.amplitude2_source, findings);
    check_source(s, prefix + "modulation_source", channel.modulation_source, findings);
    const auto& coils = s.machine_config.coils;
    if (channel.coil_idx >= coils.size()) {
        findings.push_back(Finding{prefix + "coil_idx",
                                   "names coil " + std::to_string(channel.coil_idx) +
                                       ", which does not exist " +
                                       available(coils.size(), "coil record")});
        return;  // the LC setting cannot be looked up without its coil
    }
    const Coil& coil = coils[static_cast<size_t>(channel.coil_idx)];
    if (channel.coil_setting_idx >= coil.settings.size()) {
        findings.push_back(Finding{prefix + "coil_setting_idx",
                                   "names LC setting " + std::to_string(channel.coil_setting_idx) +
                                       " of coil " + std::to_string(channel.coil_idx) +
                                       ", which does not exist " +
                                       available(coil.settings.size(), "LC setting")});
    }
}

}  // namespace

std::string Finding::to_string() const { return path + ": " + message; }

std::vector<Finding> check_settings(const Settings& s) {
    std::vector<Finding> found;
    check_settings(s, [&found](const Finding& finding) { found.push_back(finding); });
    return found;
}

void check_settings(const Settings& s, const FindingSink& sink) {
    Findings findings{sink};
    NonFiniteWalk machine{findings, "machine_config"};
    for_each_field(s.machine_config, machine);
    const double limit = s.machine_config.max_intensity_setpoint;
    if (s.intensity > limit) {
        findings.push_back(Finding{"intensity",
                                   format_float(s.intensity) +
                                       " is above the machine's max_intensity_setpoint " +
                                       format_float(limit)});
    } else if (!(s.intensity <= limit)) {
        findings.push_back(Finding{"intensity", format_float(s.intensity) +
                                                    " cannot be compared with the machine's "
                                                    "max_intensity_setpoint " +
                                                    format_float(limit)});
    } else if (s.intensity > 1.0 || s.intensity < 0.0) {
        check_level("intensity", s.intensity, findings);
    }
    if (!report_non_finite("session_duration", s.session_duration, findings) &&
        !session_is_valid(s.session_duration)) {
        findings.push_back(Finding{"session_duration",
                                   format_float(s.session_duration) + " s is outside " +
                                       format_float(shortest_session) + ".." +
                                       format_float(MAX_SESSION_DURATION) +
                                       " s, the session lengths the stimulator runs"});
    }
    check_signals(s, findings);
    check_cycles(s.signals, findings);
    check_channel(s, "channel_a_settings", s.channel_a_settings, findings);
    check_channel(s, "channel_b_settings", s.channel_b_settings, findings);
}

}  // namespace protocols
