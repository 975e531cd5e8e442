// Checks of a settings record for what the Python surface deliberately stores unchecked:
// positions that name no signal, coil or LC setting, mixed signals that depend on themselves,
// arbitrary signals whose length is not the session's, an intensity above the machine's
// set-point and external inputs the machine does not have. Nothing is changed; the checks only
// report, so a researcher can see before a run what the stimulator would be handed.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "protocols/settings.hpp"

namespace protocols {

struct Finding {
    std::string path;     // the field concerned, e.g. "channel_b_settings.modulation_source"
    std::string message;  // what is wrong with it, in words

    // "path: message"
    std::string to_string() const;

    friend bool operator==(const Finding&, const Finding&) = default;
};

// All findings, in a fixed order: the intensity, then each signal by position (its references,
// its length), then each group of mixed signals that depend on one another in a cycle (once per
// group, listed by its smallest position), then channel A and channel B.
//
// Only what is in force is checked. A source selection is checked on its internal position when
// external_selected is false and on its external input number when it is true; the other field
// is ignored. A disabled channel is not checked at all: the stimulator does not drive it, and
// since a channel can be enabled but never disabled again, a disabled channel in a file is one
// the script never enabled, whose routing is whatever it was left at. Signals are checked
// whether or not a channel uses them, because the whole list is handed to the stimulator.
//
// Cycles are reported per group of mixed signals that all reach one another (a strongly
// connected set), with one shortest cycle through its smallest position as the example: the
// number of distinct cycles in such a group can grow exponentially with its size. A mixed
// signal naming itself is reported as a self-reference, not as a cycle. Runs in time linear in
// the number of signals and samples, without recursion.
std::vector<Finding> check_settings(const Settings& settings);

// The same findings in the same order, each handed to `sink` as soon as it is made, so that
// they need not all be held at once.
using FindingSink = std::function<void(const Finding&)>;
void check_settings(const Settings& settings, const FindingSink& sink);

// The same for `settings` with the signals of `signals` in place of its own (which are not
// read), e.g. signals left in a file's bytes.
class SignalList;
void check_settings(const Settings& settings, const SignalList& signals, const FindingSink& sink);

}  // namespace protocols
