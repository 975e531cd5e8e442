// The text form of the records: one generic writer over `for_each_field`, so that every record
// is shown field by field in declared order without code of its own.
//
// An arbitrary signal can hold millions of samples, one line each, so the whole text goes into
// one string whose size is bounded beforehand, and lists of scalars are written through a raw
// pointer rather than by one append per token.
#include "protocols/text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <variant>
#include <vector>

#include "protocols/signal_list.hpp"
#include "protocols/utf8.hpp"

namespace protocols {
namespace {

constexpr std::size_t indent_width = 4;

// "-" + 17 significant digits + "." + "e-324": the longest text of a finite float.
constexpr std::size_t float_max_chars = 24;

// ---------------------------------------------------------------------------------------------
// Scalars

char* write_float(char* p, double value) {
    if (std::isnan(value)) {
        std::memcpy(p, "NaN", 3);
        return p + 3;
    }
    if (std::signbit(value)) *p++ = '-';
    const double magnitude = std::fabs(value);
    if (std::isinf(magnitude)) {
        std::memcpy(p, "inf", 3);
        return p + 3;
    }

    // The shortest round-trip digits come from to_chars; its scientific form "d.ddde+XX" is
    // only mined for the digits and the exponent, the layout is ours.
    char sci[32];
    const char* sci_end =
        std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific).ptr;
    char digits[20];
    std::size_t num_digits = 0;
    const char* q = sci;
    for (; *q != 'e'; ++q) {
        if (*q != '.') digits[num_digits++] = *q;
    }
    ++q;  // 'e'
    const bool negative_exponent = *q == '-';
    ++q;  // the exponent's sign, always present
    int exponent = 0;
    std::from_chars(q, sci_end, exponent);
    if (negative_exponent) exponent = -exponent;

    if (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
        // Positional; `point` digits stand before the decimal point.
        const int point = exponent + 1;
        const auto n = static_cast<int>(num_digits);
        if (point <= 0) {
            *p++ = '0';
            *p++ = '.';
            std::memset(p, '0', static_cast<std::size_t>(-point));
            p += -point;
            std::memcpy(p, digits, num_digits);
            p += num_digits;
        } else if (point >= n) {
            std::memcpy(p, digits, num_digits);
            p += num_digits;
            std::memset(p, '0', static_cast<std::size_t>(point - n));
            p += point - n;
            *p++ = '.';
            *p++ = '0';
        } else {
            std::memcpy(p, digits, static_cast<std::size_t>(point));
            p += point;
            *p++ = '.';
            std::memcpy(p, digits + point, static_cast<std::size_t>(n - point));
            p += n - point;
        }
        return p;
    }

    *p++ = digits[0];
    if (num_digits > 1) {
        *p++ = '.';
        std::memcpy(p, digits + 1, num_digits - 1);
        p += num_digits - 1;
    }
    *p++ = 'e';
    return std::to_chars(p, p + 8, exponent).ptr;
}

// The scalars whose text is a single token of bounded length.
template <class T>
concept Token = std::same_as<T, bool> || std::same_as<T, double> || std::same_as<T, std::int16_t> ||
                std::same_as<T, std::uint64_t>;

template <Token T>
constexpr std::size_t token_max_chars() {
    if constexpr (std::same_as<T, bool>) {
        return 5;
    } else if constexpr (std::same_as<T, double>) {
        return float_max_chars;
    } else {
        return std::numeric_limits<T>::digits10 + 2;  // sign and one more digit
    }
}

template <Token T>
char* write_token(char* p, T value) {
    if constexpr (std::same_as<T, bool>) {
        const std::string_view text = value ? "true" : "false";
        std::memcpy(p, text.data(), text.size());
        return p + text.size();
    } else if constexpr (std::same_as<T, double>) {
        return write_float(p, value);
    } else {
        return std::to_chars(p, p + token_max_chars<T>(), value).ptr;
    }
}

// ---------------------------------------------------------------------------------------------
// The generic writer

template <class T>
struct ListOf {
    static constexpr bool value = false;
};
template <class T, class A>
struct ListOf<std::vector<T, A>> {
    static constexpr bool value = true;
    using element = T;
};
template <class T, std::size_t N>
struct ListOf<std::array<T, N>> {
    static constexpr bool value = true;
    using element = T;
};
template <class T>
concept List = ListOf<T>::value;

constexpr std::size_t line_start_chars(std::size_t level) { return 1 + level * indent_width; }

// An upper bound of the text's size (walking the same shape as the writer, but counting only
// list lengths and bounded tokens), so that the output string is allocated once.
template <class T>
std::size_t size_bound(const T& value, std::size_t level) {
    if constexpr (Record<T>) {
        std::size_t n = T::record_name.size() + 2 + line_start_chars(level) + 1;
        for_each_field(value, [&](std::string_view name, const auto& field) {
            n += line_start_chars(level + 1) + name.size() + 2 + size_bound(field, level + 1) + 1;
        });
        return n;
    } else if constexpr (std::same_as<T, Signal>) {
        return std::visit(
            [&](const auto& payload) {
                return signal_variant_names[value.index()].size() + 1 +
                       line_start_chars(level + 1) + size_bound(payload, level + 1) + 1 +
                       line_start_chars(level) + 1;
            },
            value);
    } else if constexpr (List<T>) {
        using Element = typename ListOf<T>::element;
        std::size_t n = 2 + line_start_chars(level);
        if constexpr (Token<Element>) {
            n += value.size() * (line_start_chars(level + 1) + token_max_chars<Element>() + 1);
        } else {
            for (const auto& entry : value) {
                n += line_start_chars(level + 1) + size_bound(entry, level + 1) + 1;
            }
        }
        return n;
    } else if constexpr (std::same_as<T, std::string>) {
        return 2 + 8 * value.size();  // "\u{fffd}" for every byte at worst
    } else if constexpr (std::same_as<T, ErrorCode>) {
        return error_code_name(value).size();
    } else if constexpr (Token<T>) {
        return token_max_chars<T>();
    } else {
        static_assert(sizeof(T) == 0, "no text form for this field type");
    }
}

class TextWriter {
public:
    explicit TextWriter(std::string& out, const TextSink* sink = nullptr,
                        const SignalList* signals = nullptr)
        : out_(out), sink_(sink), signals_(signals) {}

    // Hands what is written so far to the sink, if there is one; `out_` then starts over.
    void flush() {
        if (sink_ == nullptr || out_.empty()) return;
        (*sink_)(out_);
        out_.clear();
    }

    // Writes `value` from the current position on; continuation lines are indented relative
    // to `level`, the level of the line on which the value begins.
    template <class T>
    void write(const T& value, std::size_t level) {
        if constexpr (Record<T>) {
            out_ += T::record_name;
            out_ += " {";
            for_each_field(value, [&](std::string_view name, const auto& field) {
                new_line(level + 1);
                out_ += name;
                out_ += ": ";
                if constexpr (
                    std::same_as<std::remove_cvref_t<decltype(field)>, std::vector<Signal>>) {
                    if (signals_ != nullptr) {
                        write_signals(level + 1);
                        out_ += ',';
                        return;
                    }
                }
                write(field, level + 1);
                out_ += ',';
            });
            new_line(level);
            out_ += '}';
        } else if constexpr (std::same_as<T, Signal>) {
            out_ += signal_variant_names[value.index()];
            out_ += '(';
            new_line(level + 1);
            std::visit([&](const auto& payload) { write(payload, level + 1); }, value);
            out_ += ',';
            new_line(level);
            out_ += ')';
        } else if constexpr (List<T>) {
            if (value.empty()) {
                out_ += "[]";
                return;
            }
            out_ += '[';
            if constexpr (Token<typename ListOf<T>::element>) {
                write_tokens(value, level + 1);
            } else {
                for (const auto& entry : value) {
                    new_line(level + 1);
                    write(entry, level + 1);
                    out_ += ',';
                }
            }
            new_line(level);
            out_ += ']';
        } else if constexpr (std::same_as<T, std::string>) {
            append_quoted(out_, value);
        } else if constexpr (std::same_as<T, ErrorCode>) {
            out_ += error_code_name(value);
        } else if constexpr (Token<T>) {
            char buf[token_max_chars<T>()];
            out_.append(buf, write_token(buf, value));
        } else {
            static_assert(sizeof(T) == 0, "no text form for this field type");
        }
    }

    // The signals of `signals_` in place of a record's own, as the list branch writes them.
    void write_signals(std::size_t level) {
        if (signals_->size() == 0) {
            out_ += "[]";
            return;
        }
        out_ += '[';
        signals_->visit_all([&](std::size_t, const Signal& signal) {
            new_line(level + 1);
            write(signal, level + 1);
            out_ += ',';
        });
        new_line(level);
        out_ += ']';
    }

private:
    void new_line(std::size_t level) {
        if (sink_ != nullptr && out_.size() >= flush_size) flush();
        out_ += '\n';
        out_.append(level * indent_width, ' ');
    }

    // One entry per line, written through a pointer into room sized for the longest tokens,
    // then cut back to what was used.
    template <class Items>
    void write_tokens(const Items& items, std::size_t level) {
        using Element = typename ListOf<Items>::element;
        const std::size_t indent = level * indent_width;
        // Streamed, the list goes out in blocks, so only one block is ever held.
        const std::size_t block = sink_ != nullptr ? 4096 : items.size();
        for (std::size_t first = 0; first < items.size(); first += block) {
            const std::size_t count = std::min(block, items.size() - first);
            const std::size_t start = out_.size();
            out_.resize(start + count * (1 + indent + token_max_chars<Element>() + 1));
            char* p = out_.data() + start;
            for (std::size_t i = first; i < first + count; ++i) {
                *p++ = '\n';
                std::memset(p, ' ', indent);
                p += indent;
                p = write_token(p, static_cast<Element>(items[i]));
                *p++ = ',';
            }
            out_.resize(static_cast<std::size_t>(p - out_.data()));
            if (sink_ != nullptr && out_.size() >= flush_size) flush();
        }
    }

    static constexpr std::size_t flush_size = std::size_t{1} << 16;

    std::string& out_;
    const TextSink* sink_;
    const SignalList* signals_;
};

template <class T>
std::string render(const T& value) {
    std::string out;
    out.reserve(size_bound(value, 0));
    TextWriter(out).write(value, 0);
    return out;
}

}  // namespace

std::string format_float(double value) {
    char buf[float_max_chars];
    return std::string(buf, write_float(buf, value));
}

void append_float(std::string& out, double value) {
    char buf[float_max_chars];
    out.append(buf, write_float(buf, value));
}

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t pos = 0; pos < text.size();) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);  // printable ASCII never needs the table
            ++pos;
            continue;
        }
        const utf8::Step step = utf8::decode_step(text, pos);
        if (!step.valid) {
            utf8::append_code_point_escape(out, utf8::REPLACEMENT_CHARACTER);
        } else if (const std::string_view escape = utf8::short_escape(step.code_point);
                   !escape.empty()) {
            out += escape;
        } else if (is_escaped_in_text(step.code_point)) {
            utf8::append_code_point_escape(out, step.code_point);
        } else {
            out.append(text, pos, step.length);
        }
        pos += step.length;
    }
    out += '"';
}

void write_text(const Protocol& value, const TextSink& sink) {
    std::string out;
    TextWriter writer(out, &sink);
    writer.write(value, 0);
    writer.flush();
}

void write_text(const Settings& head, const SignalList& signals, const TextSink& sink) {
    std::string out;
    TextWriter writer(out, &sink, &signals);
    // The Protocol record around the settings, as the generic writer lays it out.
    out += Protocol::record_name;
    out += " {\n";
    out.append(indent_width, ' ');
    out += "settings: ";
    writer.write(head, 1);
    out += ",\n}";
    writer.flush();
}

std::string to_text(const Settings& head, const SignalList& signals) {
    std::string out;
    write_text(head, signals, [&out](std::string_view piece) { out += piece; });
    return out;
}

std::string to_text(const Protocol& value) { return render(value); }
std::string to_text(const Settings& value) { return render(value); }
std::string to_text(const MachineConfig& value) { return render(value); }
std::string to_text(const Coil& value) { return render(value); }
std::string to_text(const LCSetting& value) { return render(value); }
std::string to_text(const ChannelSettings& value) { return render(value); }
std::string to_text(const SignalSourceSelection& value) { return render(value); }
std::string to_text(const Signal& value) { return render(value); }
std::string to_text(ErrorCode value) { return std::string(error_code_name(value)); }

}  // namespace protocols
