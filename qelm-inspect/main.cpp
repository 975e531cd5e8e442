// qelm-inspect: shows, summarises, checks or plots a protocol file. This file only parses the
// command line, reads and decodes the file and hands the record to the chosen mode.
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "protocols/win32.hpp"
#endif

#include "fileguard/journal.hpp"
#include "inspect.hpp"
#include "protocols/decoding.hpp"
#include "protocols/encoding.hpp"
#include "protocols/signal_list.hpp"
#include "protocols/text.hpp"

namespace {

constexpr std::string_view usage =
    "usage: qelm-inspect [--summary | --text | --check | --plot OUT.svg] FILE\n";

constexpr std::string_view help =
    R"(usage: qelm-inspect [--summary | --text | --check | --plot OUT.svg] FILE
       qelm-inspect --help

Shows what a .qelm protocol file holds, so that it can be seen and checked before a
stimulator runs it.

  (no option)     print the summary (as --summary), an empty line, then the text
                  form with every sample list of more than 6 values shortened to
                  one line: its first and last 3 raw values around "...", then its
                  length, minimum and maximum ("# 50000 samples, min 0, max 32767";
                  32767 is full scale). All else reads as in the full text form
  --summary       print an overview: session length and sample count, intensity,
                  each channel with its coil, LC setting and sources, each signal
                  with its parameters (arbitrary signals as length, min, max and
                  mean, as fractions 0..1 and raw), and the coils' LC settings
  --text          print the full text form: for a protocol p saved to FILE,
                  exactly str(p) as it stands after the save, then one line feed
  --check         report, one finding per line as "field: what is wrong", what the
                  module stores unchecked and what the stimulator cannot produce:
                  sources and mixed signals naming a signal that does not exist,
                  mixed signals naming themselves or depending on one another in a
                  cycle (each such group once), arbitrary signals whose length is not
                  the session's sample count, an intensity above the machine's
                  max_intensity_setpoint or below 0, a session duration outside
                  0.01..1800 s, levels outside 0..1 (constant value, sine amplitude
                  and depth, ramp peak, negative arbitrary samples), sine
                  frequencies at or below 0 or above 2500 Hz (half the sampling
                  rate), negative ramp durations or ramps longer than the session,
                  NaN or infinity in any number of the record, external inputs the
                  machine does not have, and coil or LC setting positions out of
                  range. Only the selection in force is checked (the internal
                  signal, or the external input when that is selected), and only on
                  enabled channels: a disabled channel is not driven. Prints "ok"
                  when nothing is found.
  --plot OUT.svg  write an SVG drawing of the protocol: the routing of both
                  channels (what drives each coil's amplitude and each channel's
                  modulation: a signal with its kind and parameters, or an external
                  input; a mixed signal with its two inputs; disabled channels
                  greyed), then each signal over the session, computed from its
                  parameters at 5000 samples per second (seconds; levels as
                  fractions of full intensity; many samples as a filled min/max
                  band per pixel column). Marked in red: a signal or external
                  input that does not exist, an arbitrary signal (or an input of
                  a mixed one) whose length is not the session's, mixed signals
                  in a cycle, levels outside 0..1. At most 12 signals are drawn
                  and 40 more listed, those that drive an enabled channel first;
                  the rest are counted. OUT must end in .svg
  -h, --help      show this help and exit

Exit status:
  0  done; with --check, nothing found
  1  --check found something
  2  bad arguments, a file that cannot be read or is not a well-formed
     protocol file (the message names the byte offset and the field; a file
     is read no further than its record can reach), or OUT.svg that cannot
     be written
)";

enum class Mode { overview, summary, text, check, plot, reencode };

struct Options {
    Mode mode = Mode::overview;
    bool mode_given = false;
    std::string file;
    std::string out;  // --plot and --reencode
    bool help = false;
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "qelm-inspect: %s\n%.*sTry 'qelm-inspect --help' for more information.\n",
                 message.c_str(), static_cast<int>(usage.size()), usage.data());
    return inspect::exit_failure;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "qelm-inspect: %s\n", message.c_str());
    return inspect::exit_failure;
}

// The options that name an output file, as "--plot OUT" or "--plot=OUT". --reencode OUT is for
// the tests and not in the help: it writes the decoded record encoded again, which must be the
// very bytes of FILE.
struct OutputOption {
    std::string_view name;
    Mode mode;
};
constexpr OutputOption output_options[] = {{"--plot", Mode::plot}, {"--reencode", Mode::reencode}};

const OutputOption* output_option(std::string_view arg) {
    for (const OutputOption& option : output_options) {
        if (arg == option.name ||
            (arg.starts_with(option.name) && arg.size() > option.name.size() &&
             arg[option.name.size()] == '=')) {
            return &option;
        }
    }
    return nullptr;
}

// Empty on success, else the usage error.
std::string parse(int argc, char** argv, Options& options) {
    bool files_only = false;
    bool have_file = false;
    auto set_mode = [&options](Mode mode) -> std::string {
        if (options.mode_given) return "give at most one of --summary, --text, --check and --plot";
        options.mode = mode;
        options.mode_given = true;
        return "";
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::string problem;
        if (files_only || arg.empty() || arg[0] != '-' || arg == "-") {
            if (have_file) return "give exactly one FILE";
            options.file = std::string(arg);
            have_file = true;
        } else if (arg == "--") {
            files_only = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--summary") {
            problem = set_mode(Mode::summary);
        } else if (arg == "--text") {
            problem = set_mode(Mode::text);
        } else if (arg == "--check") {
            problem = set_mode(Mode::check);
        } else if (const OutputOption* option = output_option(arg)) {
            problem = set_mode(option->mode);
            if (arg.size() > option->name.size()) {
                options.out = std::string(arg.substr(option->name.size() + 1));
            } else if (i + 1 < argc) {
                options.out = argv[++i];
            }
            if (problem.empty() && options.out.empty()) {
                return std::string(option->name) + " needs an output file";
            }
        } else {
            return "unknown option '" + std::string(arg) + "'";
        }
        if (!problem.empty()) return problem;
    }
    if (!options.help && !have_file) return "no FILE given";
    return "";
}

// Thrown by the standard output sink when a write fails.
struct OutputFailed {};

bool has_svg_extension(std::string_view name) {
    if (name.size() < 4) return false;
    std::string_view ext = name.substr(name.size() - 4);
    constexpr std::string_view svg = ".svg";
    for (std::size_t i = 0; i < 4; ++i) {
        const char c =
            ext[i] >= 'A' && ext[i] <= 'Z' ? static_cast<char>(ext[i] - 'A' + 'a') : ext[i];
        if (c != svg[i]) return false;
    }
    return true;
}

// The file's bytes as the output sink takes them: a failed write ends the output at once.
void write_stdout_piece(std::string_view piece) {
    if (std::fwrite(piece.data(), 1, piece.size(), stdout) != piece.size()) throw OutputFailed{};
}

// The text form, --summary and --check, which read the signals in order: they stay in the
// file's bytes with a small index and are decoded one at a time, so that memory follows the
// bytes rather than the number of signals.
int show_indexed(const Options& options, const protocols::ByteVector& bytes, std::size_t file_size,
                 const fileguard::Recovery& recovery, const std::string& recovered) {
    protocols::IndexedResult decoded = protocols::decode_settings_indexed(bytes);
    if (const auto* failed = std::get_if<protocols::DecodeError>(&decoded)) {
        return failure(options.file + ": not a well-formed protocol file: " + failed->to_string());
    }
    const auto& indexed = std::get<protocols::IndexedSettings>(decoded);
    const protocols::StoredSignals signals(bytes, indexed.signals);
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);  // "\n" stays one byte, as in the text form
#endif
    const protocols::TextSink to_stdout = write_stdout_piece;
    int status = inspect::exit_ok;
    if (options.mode == Mode::overview) {
        inspect::write_summary(indexed.settings, signals, options.file, file_size, to_stdout);
        to_stdout("\n");
        inspect::write_compact(indexed.settings, signals, to_stdout);
        to_stdout("\n");
    } else if (options.mode == Mode::text) {
        protocols::write_text(indexed.settings, signals, to_stdout);
        to_stdout("\n");
    } else if (options.mode == Mode::summary) {
        inspect::write_summary(indexed.settings, signals, options.file, file_size, to_stdout);
    } else {
        // An interrupted save is a finding, whichever way its record was settled.
        const bool interrupted = recovery.outcome == fileguard::Outcome::recovered ||
                                 recovery.outcome == fileguard::Outcome::completed ||
                                 recovery.outcome == fileguard::Outcome::stale;
        if (interrupted) to_stdout("recovery: " + recovered + "\n");
        status = inspect::run_check(indexed.settings, signals, to_stdout);
        if (interrupted) status = inspect::exit_findings;
    }
    if (std::fflush(stdout) != 0) throw OutputFailed{};
    return status;
}

// The file as the C library opens it: on Windows a name in the ANSI code page, which the
// record's lookup takes in UTF-16.
fileguard::Recovery recover(const std::string& file) {
#ifdef _WIN32
    if (file.empty() || file.size() > 32767) return {};
    const int size = static_cast<int>(file.size());
    const int length = ::MultiByteToWideChar(CP_ACP, 0, file.data(), size, nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, file.data(), size, wide.data(), length);
    return fileguard::recover_path(wide);
#else
    return fileguard::recover_path(file);
#endif
}

int run(int argc, char** argv) {
    Options options;
    if (const std::string problem = parse(argc, argv, options); !problem.empty()) {
        return usage_error(problem);
    }
    if (options.help) {
        return inspect::write_stdout(help) ? inspect::exit_ok : inspect::exit_failure;
    }

    if (options.mode == Mode::plot && !has_svg_extension(options.out)) {
        // The drawing is SVG whatever the name says; a ".png" full of SVG helps nobody.
        return usage_error("the --plot output must be an .svg file: '" + options.out + "'");
    }

    // A save killed while rewriting the file in place is undone first, so that what is shown
    // is one whole protocol; --check counts that as a finding, the other modes mention it.
    const fileguard::Recovery recovery = recover(options.file);
    const std::string recovered = fileguard::describe(recovery);
    if (recovery.outcome == fileguard::Outcome::failed) {
        return failure(options.file + ": " + recovered);
    }
    if (!recovered.empty() && options.mode != Mode::check) {
        std::fprintf(stderr, "qelm-inspect: %s: %s\n", options.file.c_str(), recovered.c_str());
    }

    protocols::ByteVector bytes;
    protocols::DecodeError refused;
    std::string error;
    switch (inspect::read_file(options.file, bytes, refused, error)) {
        case inspect::ReadStatus::ok: break;
        case inspect::ReadStatus::failed: return failure(options.file + ": " + error);
        case inspect::ReadStatus::refused:
            return failure(options.file +
                           ": not a well-formed protocol file: " + refused.to_string());
    }
    const std::size_t file_size = bytes.size();
    if (options.mode == Mode::overview || options.mode == Mode::text ||
        options.mode == Mode::summary || options.mode == Mode::check) {
        return show_indexed(options, bytes, file_size, recovery, recovered);
    }
    protocols::DecodeResult decoded = protocols::decode_settings(bytes);
    // The record holds everything from here on; the bytes would only double the peak.
    bytes = {};
    if (const auto* failed = std::get_if<protocols::DecodeError>(&decoded)) {
        return failure(options.file + ": not a well-formed protocol file: " + failed->to_string());
    }
    protocols::Settings& settings = std::get<protocols::Settings>(decoded);

    switch (options.mode) {
        case Mode::overview:
        case Mode::text:
        case Mode::summary:
        case Mode::check: break;  // shown from the file's bytes above
        case Mode::plot:
            if (!inspect::write_file(options.out, inspect::plot_svg(settings, options.file),
                                     error)) {
                return failure(options.out + ": " + error);
            }
            return inspect::exit_ok;
        case Mode::reencode: {
            protocols::ByteBuffer encoded;
            protocols::encode_settings(settings, encoded);
            const std::string_view data(reinterpret_cast<const char*>(encoded.data()),
                                        encoded.size());
            if (!inspect::write_file(options.out, data, error)) {
                return failure(options.out + ": " + error);
            }
            return inspect::exit_ok;
        }
    }
    return inspect::exit_ok;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const OutputFailed&) {
        return failure("cannot write to standard output");
    } catch (const std::bad_alloc&) {
        // A file of millions of samples shown as text needs memory in proportion.
        return failure("out of memory");
    } catch (const std::exception& e) {
        return failure(e.what());
    }
}
