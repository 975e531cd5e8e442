// --summary: the protocol in a screenful, with the facts a researcher checks before a run first
// and the hardware description last.
#include <cstddef>
#include <string>
#include <string_view>

#include "inspect.hpp"
#include "protocols/text.hpp"

namespace inspect {

using namespace protocols;

namespace {

std::string quoted(std::string_view name) {
    std::string text;
    append_quoted(text, name);
    return text;
}

void append_channel(std::string& out, const Settings& s, const SignalList& signals, char letter,
                    const ChannelSettings& channel) {
    out += "channel ";
    out += letter;
    out += ":  ";
    out += channel.enabled ? "enabled" : "disabled";
    out += ", " + describe_coil(s, channel) + "\n";
    const std::string coil = std::string(1, letter);
    out += "  coil " + coil +
           "1 amplitude: " + describe_source(signals, channel.amplitude1_source) + "\n";
    out += "  coil " + coil +
           "2 amplitude: " + describe_source(signals, channel.amplitude2_source) + "\n";
    out += "  modulation:        " + describe_source(signals, channel.modulation_source) + "\n";
}

}  // namespace

void write_summary(const Settings& s, std::string_view file_name, std::size_t file_size,
                   const TextSink& sink) {
    write_summary(s, VectorSignals(s.signals), file_name, file_size, sink);
}

void write_summary(const Settings& s, const SignalList& signals, std::string_view file_name,
                   std::size_t file_size, const TextSink& sink) {
    const MachineConfig& machine = s.machine_config;
    std::string out;
    out += "file:       ";
    out += file_name;
    out += ", " + std::to_string(file_size) + (file_size == 1 ? " byte\n" : " bytes\n");
    out += "session:    " + format_float(s.session_duration) + " s, " +
           std::to_string(num_samples_for(s.session_duration)) + " samples at " +
           format_approx(SAMPLING_RATE) + " per second\n";
    out += "intensity:  " + format_float(s.intensity) + " (machine's max_intensity_setpoint " +
           format_float(machine.max_intensity_setpoint) + ")\n";
    out += "built on the stimulator: ";
    out += s.running_on_target_machine ? "yes\n" : "no\n";

    append_channel(out, s, signals, 'A', s.channel_a_settings);
    append_channel(out, s, signals, 'B', s.channel_b_settings);

    out += "signals:    " + std::to_string(signals.size()) + "\n";
    signals.visit_all([&](std::size_t i, const Signal& signal) {
        std::string kind(kind_name(signal));
        kind.resize(12, ' ');
        out += "  " + std::to_string(i) + "  " + kind + describe_parameters(signals, signal) + "\n";
        if (out.size() >= (std::size_t{1} << 16)) {  // a file may hold millions of signals
            sink(out);
            out.clear();
        }
    });

    out += "coils:      " + std::to_string(machine.coils.size()) +
           (machine.coils.size() == 1 ? " record" : " records") + " (num_coils " +
           std::to_string(machine.num_coils) + "), " +
           std::to_string(machine.num_external_signal_sources) + " external inputs\n";
    for (std::size_t c = 0; c < machine.coils.size(); ++c) {
        const Coil& coil = machine.coils[c];
        out += "  coil " + std::to_string(c) + " " + quoted(coil.name) + ": inductance " +
               format_float(coil.inductance) + " uH, max_current " +
               format_float(coil.max_current) + ", max_carrier_frequency " +
               format_float(coil.max_carrier_frequency) + " kHz\n";
        for (std::size_t k = 0; k < coil.settings.size(); ++k) {
            const LCSetting& lc = coil.settings[k];
            out += "    LC setting " + std::to_string(k) + ": " + format_float(lc.capacitance) +
                   " nF, " + format_float(lc.carrier_frequency) + " kHz, " +
                   std::to_string(lc.clk_ticks_per_sample) + " ticks per sample, bank setting " +
                   std::to_string(lc.capacitor_bank_setting) + "\n";
        }
    }
    sink(out);
}

}  // namespace inspect
