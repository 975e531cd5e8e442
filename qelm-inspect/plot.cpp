// --plot: an SVG document of the protocol as a researcher checks it before a session: the
// routing of both channels (what drives each coil's amplitude and each channel's modulation),
// then one panel per signal with its levels over the session, and what is wrong marked in red
// where it is: a source naming a signal or external input that does not exist, a mixed signal
// whose inputs do not exist or mix themselves, an arbitrary signal whose length is not the
// session's.
//
// Past a readable number of panels and list lines the rest is counted, not drawn, and each
// panel's curve has at most one stretch per pixel column, so the document's size is bounded
// whatever the file holds.
#include "plot.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "inspect.hpp"
#include "protocols/text.hpp"

namespace inspect {

using namespace protocols;
using namespace plot;

namespace {

// Beyond these the picture says how many more there are (--summary lists every signal).
constexpr std::size_t max_panels = 12;
constexpr std::size_t max_listed = 40;
// Uses of one signal named in its panel's title; the rest are counted.
constexpr std::size_t max_uses = 4;

// Which signals drive an enabled channel, directly or as an input of a mixed signal that does
// (followed through any depth of mixing, without recursion).
std::vector<bool> driving_signals(const Settings& s) {
    const std::size_t n = s.signals.size();
    std::vector<bool> driving(n, false);
    std::vector<std::uint64_t> pending;
    for (const ChannelSettings* channel : {&s.channel_a_settings, &s.channel_b_settings}) {
        if (!channel->enabled) continue;
        for (const SignalSourceSelection* source :
             {&channel->amplitude1_source, &channel->amplitude2_source,
              &channel->modulation_source}) {
            if (!source->external_selected) pending.push_back(source->internal);
        }
    }
    while (!pending.empty()) {
        const std::uint64_t position = pending.back();
        pending.pop_back();
        if (position >= n || driving[static_cast<std::size_t>(position)]) continue;
        driving[static_cast<std::size_t>(position)] = true;
        if (const auto* mixed =
                std::get_if<MixedSignalParams>(&s.signals[static_cast<std::size_t>(position)])) {
            pending.push_back(mixed->a_idx);
            pending.push_back(mixed->b_idx);
        }
    }
    return driving;
}

// For each drawn signal, what it drives: "drives coil A1 amplitude, channel A modulation; input
// of signal 4", or that nothing uses it. Inputs of a disabled channel are not driven.
std::vector<std::string> uses_of(const Settings& s, const std::vector<std::size_t>& drawn) {
    std::vector<std::vector<std::string>> routes(drawn.size()), parents(drawn.size());
    std::vector<std::size_t> more(drawn.size(), 0);
    auto add = [&](std::vector<std::vector<std::string>>& lists, std::uint64_t position,
                   const std::string& text) {
        const auto it = std::lower_bound(drawn.begin(), drawn.end(), position);
        if (it == drawn.end() || *it != position) return;
        const auto i = static_cast<std::size_t>(it - drawn.begin());
        if (routes[i].size() + parents[i].size() < max_uses) {
            lists[i].push_back(text);
        } else {
            ++more[i];
        }
    };
    for (const auto& [letter, channel] :
         {std::pair{'A', &s.channel_a_settings}, std::pair{'B', &s.channel_b_settings}}) {
        if (!channel->enabled) continue;
        const std::string name(1, letter);
        for (const auto& [label, source] :
             {std::pair{"coil " + name + "1 amplitude", &channel->amplitude1_source},
              std::pair{"coil " + name + "2 amplitude", &channel->amplitude2_source},
              std::pair{"channel " + name + " modulation", &channel->modulation_source}}) {
            if (!source->external_selected) add(routes, source->internal, label);
        }
    }
    for (std::size_t i = 0; i < s.signals.size(); ++i) {
        if (const auto* mixed = std::get_if<MixedSignalParams>(&s.signals[i])) {
            add(parents, mixed->a_idx, std::to_string(i));
            if (mixed->b_idx != mixed->a_idx) add(parents, mixed->b_idx, std::to_string(i));
        }
    }
    std::vector<std::string> uses(drawn.size());
    for (std::size_t i = 0; i < drawn.size(); ++i) {
        std::string& text = uses[i];
        for (const std::string& route : routes[i])
            text += (text.empty() ? "drives " : ", ") + route;
        if (!parents[i].empty()) {
            text += text.empty() ? "" : "; ";
            text += parents[i].size() == 1 ? "input of signal " : "input of signals ";
            for (std::size_t k = 0; k < parents[i].size(); ++k) {
                text += (k == 0 ? "" : ", ") + parents[i][k];
            }
        }
        if (more[i] > 0) text += " and " + std::to_string(more[i]) + " more";
        if (text.empty())
            text = "unused: drives no input of an enabled channel and no mixed signal";
    }
    return uses;
}

// How the curves are read from the parameters, under the panels.
void footnote(std::string& out, double y) {
    out += "<g class=\"model\" font-size=\"11\" fill=\"#444\">\n";
    const std::string rate = format_approx(SAMPLING_RATE);
    for (const std::string& line : {
             "Levels are fractions of full intensity, computed at " + rate +
                 " samples per second (sample k at t = k / " + rate + " s) as follows:",
             std::string("Sine: amplitude \u00d7 (1 \u2212 depth \u00d7 (1 \u2212 sin(2\u03c0 "
                         "\u00d7 frequency \u00d7 t + phase)) / 2), frequency in Hz, phase in "
                         "radians; depth 1 swings between 0 and amplitude."),
             std::string("Ramp: from 0 up to peak over the first up_duration s of the session, "
                         "held, down to 0 over its last down_duration s. Constant: value."),
             std::string("MixedSignal: the product of its two signals. Arbitrary: each sample as "
                         "stored, 32767 = 1."),
         }) {
        text_line(out, 10, y, line);
        y += 15;
    }
    out += "</g>\n";
}

}  // namespace

std::string plot_svg(const Settings& s, std::string_view file_name) {
    const std::string omitted_note =
        " are shown, those that drive an enabled channel first; qelm-inspect --summary lists "
        "every signal)";
    // What fits is chosen among the signals that drive an enabled channel first, then among
    // the rest, each group in position order, and shown in position order.
    const std::vector<bool> driving = driving_signals(s);
    std::vector<std::size_t> drawn, listed;
    std::size_t more_listed = 0;
    for (const bool wanted : {true, false}) {
        for (std::size_t i = 0; i < s.signals.size(); ++i) {
            if (driving[i] != wanted) continue;
            if (drawn.size() < max_panels) {
                drawn.push_back(i);
            } else if (listed.size() < max_listed) {
                listed.push_back(i);
            } else {
                ++more_listed;
            }
        }
    }
    std::sort(drawn.begin(), drawn.end());
    std::sort(listed.begin(), listed.end());

    std::string body;
    text_line(body, 10, line_height, std::string(file_name),
              "font-size=\"14\" font-weight=\"bold\"");
    text_line(body, 10, 2.0 * line_height,
              "session " + format_float(s.session_duration) + " s (" +
                  std::to_string(num_samples_for(s.session_duration)) +
                  (num_samples_for(s.session_duration) == 1 ? " sample at " : " samples at ") +
                  format_approx(SAMPLING_RATE) + " per second), intensity " +
                  format_float(s.intensity) + ", " + std::to_string(s.signals.size()) +
                  (s.signals.size() == 1 ? " signal" : " signals"));

    double y = draw_routing(body, 3.0 * line_height + 6, s);

    y += 1.5 * line_height;
    if (!drawn.empty()) text_line(body, 10, y, "Signals", "font-weight=\"bold\"");
    double top = y + 4;
    const std::vector<std::string> uses = uses_of(s, drawn);
    for (std::size_t k = 0; k < drawn.size(); ++k) {
        top += draw_panel(body, top, s, drawn[k], uses[k]);
    }

    if (!listed.empty()) {
        y = top + line_height;
        body += "<g class=\"parameters\">\n";
        text_line(body, 10, y, "Signals not drawn:", "font-weight=\"bold\"");
        for (std::size_t i : listed) {
            y += line_height;
            text_line(body, 24, y,
                      "signal " + std::to_string(i) + ": " + std::string(kind_name(s.signals[i])) +
                          ", " + parameters_with_units(s, s.signals[i]));
        }
        if (more_listed > 0) {
            y += line_height;
            text_line(body, 24, y,
                      "\u2026 and " + std::to_string(more_listed) + " more, not listed (" +
                          std::to_string(max_panels) + " drawn and " + std::to_string(max_listed) +
                          " listed" + omitted_note,
                      "class=\"omitted\" font-style=\"italic\"");
        }
        body += "</g>\n";
        top = y + 8;
    }
    top += line_height;
    footnote(body, top);
    const double height = top + 4 * 15 + 4;

    std::string out;
    out.reserve(body.size() + 400);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(page_width) + "\" height=\"" +
           num(height) + "\" viewBox=\"0 0 " + num(page_width) + " " + num(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    out += body;
    out += "</svg>\n";
    return out;
}

}  // namespace inspect
