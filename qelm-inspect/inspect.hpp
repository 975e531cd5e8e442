// qelm-inspect: the modes of the command, each working on a decoded settings record, and the
// descriptions of signals and sources that several modes share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocols/settings.hpp"

namespace inspect {

inline constexpr int exit_ok = 0;
inline constexpr int exit_findings = 1;  // --check found something
inline constexpr int exit_failure = 2;   // usage, unreadable or malformed input, unwritable output

// --summary: the overview a person reads at a glance.
std::string summary_text(const protocols::Settings& settings, std::string_view file_name,
                         std::size_t file_size);

// --check: one finding per line, or "ok"; returns exit_ok or exit_findings.
int run_check(const protocols::Settings& settings, std::string& out);

// --plot: the whole SVG document.
std::string plot_svg(const protocols::Settings& settings, std::string_view file_name);

// --- shared descriptions ----------------------------------------------------------------------

// A sample as the fraction the Python side filled it from (32767 stands for 1.0).
constexpr double sample_fraction(double raw) noexcept { return raw / 32767.0; }

struct SampleStats {
    std::int16_t min = 0;
    std::int16_t max = 0;
    double mean = 0.0;  // raw units
};
SampleStats sample_stats(const protocols::SampleVector& samples);

// A derived value (statistics, axis labels) to six significant digits; parameters themselves
// are always shown exactly, with protocols::format_float.
std::string format_approx(double value);

// "Sine", "MixedSignal", ...
std::string_view kind_name(const protocols::Signal& signal);

// "signal 3 (Sine)", "signal 9 (does not exist)" or "external input 2".
std::string describe_source(const protocols::Settings& settings,
                            const protocols::SignalSourceSelection& source);

// The parameters of any signal: "amplitude 1.0, frequency 10.0, phase 0.0, depth 1.0", and for
// an arbitrary signal its length and statistics as fractions and raw values.
std::string describe_parameters(const protocols::Settings& settings,
                                const protocols::Signal& signal);

// --- files -----------------------------------------------------------------------------------

// The whole file; false with the system's reason in `error` when it cannot be read.
bool read_file(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error);

// Creates or replaces the file with `data`; false with the system's reason in `error`.
bool write_file(const std::string& path, std::string_view data, std::string& error);

// All of `data` to standard output, unchanged (no newline translation on any platform).
bool write_stdout(std::string_view data);

}  // namespace inspect
