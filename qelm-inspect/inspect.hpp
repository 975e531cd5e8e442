// qelm-inspect: the modes of the command, each working on a decoded settings record, and the
// descriptions of signals and sources that several modes share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocols/decoding.hpp"
#include "protocols/settings.hpp"
#include "protocols/text.hpp"

namespace inspect {

inline constexpr int exit_ok = 0;
inline constexpr int exit_findings = 1;  // --check found something
inline constexpr int exit_failure = 2;   // usage, unreadable or malformed input, unwritable output

// --summary: the overview a person reads at a glance.
void write_summary(const protocols::Settings& settings, std::string_view file_name,
                   std::size_t file_size, const protocols::TextSink& sink);

// The default output after the summary: the text form with every sample list longer than
// compact_sample_limit on one line, as "[a, b, c, ..., x, y, z],  # N samples, min m, max M".
// Lists up to that length, and everything else, read exactly as in the full text form.
inline constexpr std::size_t compact_sample_limit = 6;
void write_compact(const protocols::Settings& settings, const protocols::TextSink& sink);

// --check: one finding per line, or "ok"; returns exit_ok or exit_findings.
int run_check(const protocols::Settings& settings, const protocols::TextSink& sink);

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

// "coil 0 "Default", LC setting 0 (22.624434389140273 kHz)", or the position that is missing.
std::string describe_coil(const protocols::Settings& settings,
                          const protocols::ChannelSettings& channel);

// The parameters of any signal: "amplitude 1.0, frequency 10.0, phase 0.0, depth 1.0", and for
// an arbitrary signal its length and statistics as fractions and raw values.
std::string describe_parameters(const protocols::Settings& settings,
                                const protocols::Signal& signal);

// --- files -----------------------------------------------------------------------------------

enum class ReadStatus { ok, failed, refused };

// The file's record: read in pieces, no further than the record can reach (see
// protocols::read_record), so that /dev/zero or a huge sparse file is refused after a few bytes.
// On `failed`, `error` receives the system's reason; on `refused`, `refused` says why the bytes
// are no protocol file.
ReadStatus read_file(const std::string& path, protocols::ByteVector& bytes,
                     protocols::DecodeError& refused, std::string& error);

// Creates or replaces the file with `data`; false with the system's reason in `error`.
bool write_file(const std::string& path, std::string_view data, std::string& error);

// All of `data` to standard output, unchanged (no newline translation on any platform).
bool write_stdout(std::string_view data);

}  // namespace inspect
