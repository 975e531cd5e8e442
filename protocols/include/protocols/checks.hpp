// Checks of a settings record for what the Python surface deliberately stores unchecked:
// positions that name no signal, coil or LC setting, mixed signals that depend on themselves,
// arbitrary signals whose length is not the session's, an intensity above the machine's
// set-point and external inputs the machine does not have; and for values the stimulator
// cannot produce: levels outside 0..1, sine frequencies at or below 0 or above half the
// sampling rate, session lengths outside 0.01..1800 s, negative ramp durations or ramps longer
// than the session, and NaN or infinity in any number. Nothing is changed; the checks only
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

// All findings, in a fixed order: numbers of the machine description that are not finite, the
// intensity, the session duration, then each signal by position (its values in field order,
// its references, its length, its first negative sample), then each group of mixed signals that
// depend on one another in a cycle (once per group, listed by its smallest position), then
// channel A and channel B.
//
// The value rules, each reported on the field's path with the value and the rule:
// - NaN or infinity in any 64-bit float: "{value} is not a finite number" (and no other finding
//   on that field; a NaN intensity keeps its own wording, "cannot be compared").
// - Levels, fractions of full intensity 0..1: the intensity (when not above the set-point),
//   a constant's value, a sine's amplitude, a ramp's peak; a sine's depth, a fraction 0..1;
//   an arbitrary signal's samples below code 0 (the first one, with the count of later ones).
// - A sine's frequency above 0 and at most half the sampling rate (2500 Hz).
// - The session duration within 0.01..1800 s, as set_session_duration admits.
// - A ramp's up_duration and down_duration not negative and, when the session's duration is
//   valid, each and their sum no longer than the session.
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

}  // namespace protocols
