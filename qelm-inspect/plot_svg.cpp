// --plot: the SVG text primitives and axis ticks the drawing is made of.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "plot.hpp"

namespace inspect::plot {

const char* kind_colour(const protocols::Signal& signal) {
    static constexpr const char* kinds[] = {"#6b6b6b", "#1f77b4", "#d9730d", "#8e44ad", "#2c9a2c"};
    static_assert(std::size(kinds) == std::variant_size_v<protocols::Signal>);
    return kinds[signal.index()];
}

std::string num(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", v);
    std::string text(buffer);
    if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0)
        text.resize(text.size() - 2);
    if (text == "-0") text = "0";
    return text;
}

std::string xml_escaped(std::string_view text) {
    if (!protocols::is_valid_utf8(text)) return "?";
    std::string out;
    std::size_t chars = 0;
    for (char c : text) {
        // Counts characters by their first byte; a cut falls between two characters.
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && ++chars > max_text_chars) {
            out += "\u2026";
            break;
        }
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default:
                if (static_cast<unsigned char>(c) >= 0x20) out += c;
        }
    }
    return out;
}

void text_line(std::string& out, double x, double y, std::string_view content,
               std::string_view extra) {
    out += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"";
    if (!extra.empty()) {
        out += ' ';
        out += extra;
    }
    out += ">" + xml_escaped(content) + "</text>\n";
}

double text_width(std::string_view text, double font_size) {
    std::size_t chars = 0;
    for (char c : text) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return 0.57 * font_size * static_cast<double>(std::min(chars, max_text_chars + 1));
}

std::vector<double> nice_ticks(double lo, double hi, int target, int& decimals) {
    const double rough = (hi - lo) / target;
    decimals = 0;
    if (!std::isfinite(rough) || rough <= 0) return {};
    const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    double step = 10.0 * magnitude;
    for (double factor : {1.0, 2.0, 5.0}) {
        if (factor * magnitude >= rough) {
            step = factor * magnitude;
            break;
        }
    }
    decimals = std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9)));
    std::vector<double> ticks;
    const double first = std::ceil(lo / step - 1e-9), last = std::floor(hi / step + 1e-9);
    for (double k = first; k <= last && ticks.size() < 4 * static_cast<std::size_t>(target);
         k += 1.0) {
        ticks.push_back(k * step);
    }
    return ticks;
}

std::string tick_label(double value, int decimals) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%.*f", std::min(decimals, 20), value);
    std::string text(buffer);
    if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) {
        text.erase(0, 1);  // a rounded tiny negative is shown as zero, not "-0.00"
    }
    return text;
}

}  // namespace inspect::plot
