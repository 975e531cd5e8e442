// The declaration of a Protocol method and the call skeleton every method runs.
//
// A method is declared once, with its name, its parameters as they read in the text signature
// ("phase=0.0": name and default together), its access to the object and its body:
//
//     constinit const MethodEntry add_sine_signal =
//         declare<"add_sine_signal", Access::Exclusive, "amplitude", "frequency", "phase=0.0",
//                 "depth=1.0">([](ProtocolObject& p, double amplitude, double frequency,
//                                 double phase, double depth) { ... });
//
// From that one declaration come, at compile time, the binding data (ArgumentSpec), the
// documentation text that carries the text signature ("add_sine_signal($self, amplitude, ...)
// \n--\n\n"), the calling convention and the entry point of the method table. The body's
// parameter types choose the conversions (double: float, std::uint64_t: index, bool,
// CoilArgument, ChannelArgument, std::string: str as UTF-8, ObjectArgument: unconverted), and a
// default is parsed from its text for the parameter's type, so the text and the value cannot
// disagree. The skeleton: bind, check the receiver, take the access, convert in parameter order,
// run the body, release the access on every exit.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "access.hpp"
#include "binding.hpp"
#include "conversions.hpp"
#include "errors.hpp"
#include "objects.hpp"

namespace pyqelm {

// ---------------------------------------------------------------------------------------------
// Compile-time text

// A string literal as a template argument.
template <std::size_t N>
struct FixedString {
    std::array<char, N> text{};
    // Implicit, so that a literal can stand where a FixedString is expected.
    constexpr FixedString(const char (&literal)[N]) { std::copy_n(literal, N, text.begin()); }
    constexpr std::string_view view() const { return {text.data(), N - 1}; }
};

// One parameter as written in the declaration: "name" or "name=default".
struct ParameterText {
    std::string_view name;
    std::string_view default_text;
    bool has_default = false;
};

// Index loops rather than string_view::find: GCC 12 with -fsanitize=undefined cannot evaluate
// find's null test on a pointer into a template argument at compile time.
constexpr ParameterText split_parameter(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=') return {text.substr(0, i), text.substr(i + 1), true};
    }
    return {text, {}, false};
}

constexpr bool is_identifier(std::string_view name) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_';
    });
}

// A float literal "[-]digits.digits" whose value one division of two exact integers gives
// correctly rounded; anything else is refused, so a default can never be silently inexact.
constexpr std::optional<double> parse_float_literal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    std::size_t point = 0;
    while (point < text.size() && text[point] != '.') ++point;
    if (point == text.size() || point == 0 || point + 1 == text.size()) return std::nullopt;
    std::uint64_t mantissa = 0;
    double scale = 1.0;
    std::size_t fraction_digits = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == point) continue;
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
        if (mantissa >= (std::uint64_t{1} << 53)) return std::nullopt;
        if (i > point) {
            scale *= 10.0;
            if (++fraction_digits > 22) return std::nullopt;
        }
    }
    const double value = static_cast<double>(mantissa) / scale;
    return negative ? -value : value;
}
static_assert(parse_float_literal("0.1") == 0.1 && parse_float_literal("-2.50") == -2.5 &&
              parse_float_literal("1.0") == 1.0 && !parse_float_literal("1") &&
              !parse_float_literal(".5") && !parse_float_literal("1e3") &&
              !parse_float_literal("0.1x") && !parse_float_literal("9007199254740993.0"));

// ---------------------------------------------------------------------------------------------
// Conversions by parameter type

template <class T>
struct Argument {
    static_assert(sizeof(T) == 0, "no argument conversion for this parameter type");
};
template <>
struct Argument<double> {
    static double convert(PyObject* value, const char* name) { return to_f64(value, name); }
    static constexpr std::optional<double> parse_default(std::string_view text) {
        return parse_float_literal(text);
    }
};
template <>
struct Argument<std::uint64_t> {
    static std::uint64_t convert(PyObject* value, const char* name) { return to_u64(value, name); }
};
template <>
struct Argument<bool> {
    static bool convert(PyObject* value, const char* name) { return to_bool(value, name); }
    static constexpr std::optional<bool> parse_default(std::string_view text) {
        if (text == "True") return true;
        if (text == "False") return false;
        return std::nullopt;
    }
};
template <>
struct Argument<std::string> {
    static std::string convert(PyObject* value, const char* name) { return to_utf8(value, name); }
};
template <>
struct Argument<CoilArgument> {
    static CoilArgument convert(PyObject* value, const char* name) { return to_coil(value, name); }
};
template <>
struct Argument<ChannelArgument> {
    static ChannelArgument convert(PyObject* value, const char* name) {
        return to_channel(value, name);
    }
};
template <>
struct Argument<ObjectArgument> {
    static ObjectArgument convert(PyObject* value, const char* name) { return {value, name}; }
};

template <class T>
concept DefaultableArgument = requires(std::string_view text) { Argument<T>::parse_default(text); };

// ---------------------------------------------------------------------------------------------
// The declaration

// The parameter types and result of a body `(ProtocolObject&, Args...) -> R`.
template <class F>
struct BodyTraits : BodyTraits<decltype(&F::operator())> {};
template <class C, class R, class... Args>
struct BodyTraits<R (C::*)(ProtocolObject&, Args...) const> {
    using Result = R;
    using Arguments = std::tuple<std::remove_cvref_t<Args>...>;
};

inline constexpr const char* PROTOCOL_CLASS_NAME = "Protocol";

template <FixedString Name, FixedString... Params>
struct MethodDeclaration {
    static constexpr std::size_t count = sizeof...(Params);
    static constexpr std::array<ParameterText, count> parameters{split_parameter(Params.view())...};

    static constexpr std::size_t required = [] {
        std::size_t n = 0;
        while (n < count && !parameters[n].has_default) ++n;
        return n;
    }();

    // Every name followed by a NUL, so that the binding can hand each to the C API.
    static constexpr std::size_t names_size = [] {
        std::size_t n = 0;
        for (const ParameterText& p : parameters) n += p.name.size() + 1;
        return n;
    }();
    static constexpr std::array<char, names_size + 1> names = [] {
        std::array<char, names_size + 1> out{};
        std::size_t at = 0;
        for (const ParameterText& p : parameters) {
            for (const char c : p.name) out[at++] = c;
            out[at++] = '\0';
        }
        return out;
    }();

    static constexpr ArgumentSpec spec = [] {
        ArgumentSpec out{PROTOCOL_CLASS_NAME, Name.text.data(), {}, count, required};
        std::size_t at = 0;
        for (std::size_t i = 0; i < count; ++i) {
            out.parameters[i] = names.data() + at;
            at += parameters[i].name.size() + 1;
        }
        return out;
    }();

    // "name($self, a, b=0.0)\n--\n\n": the interpreter reads the text signature from it, and
    // nothing follows, so the method's __doc__ is None.
    static constexpr std::string_view doc_head = "($self";
    static constexpr std::string_view doc_tail = ")\n--\n\n";
    static constexpr std::size_t doc_size = [] {
        std::size_t n = Name.view().size() + doc_head.size() + doc_tail.size();
        for (const ParameterText& p : parameters) {
            n += 2 + p.name.size() + (p.has_default ? 1 + p.default_text.size() : 0);
        }
        return n;
    }();
    static constexpr std::array<char, doc_size + 1> doc = [] {
        std::array<char, doc_size + 1> out{};
        std::size_t at = 0;
        const auto put = [&](std::string_view text) {
            for (const char c : text) out[at++] = c;
        };
        put(Name.view());
        put(doc_head);
        ((put(", "), put(Params.view())), ...);
        put(doc_tail);
        return out;
    }();

    static constexpr bool well_formed() {
        if (!is_identifier(Name.view())) return false;
        for (std::size_t i = 0; i < count; ++i) {
            if (!is_identifier(parameters[i].name)) return false;
            if (parameters[i].has_default && parameters[i].default_text.empty()) return false;
            // Required parameters lead; no default is followed by a required parameter.
            if (i >= required && !parameters[i].has_default) return false;
            for (std::size_t j = 0; j < i; ++j) {
                if (parameters[i].name == parameters[j].name) return false;
            }
        }
        return true;
    }
    static_assert(count <= MAX_PARAMETERS, "more parameters than ArgumentSpec holds");
    static_assert(well_formed(),
                  "parameters must be distinct identifiers, required ones before those with a "
                  "default");

    // The default of parameter I, parsed at compile time for the parameter's type.
    template <class T, std::size_t I>
    static constexpr T default_value() {
        static_assert(DefaultableArgument<T>, "this parameter type takes no default");
        constexpr std::optional<T> parsed = Argument<T>::parse_default(parameters[I].default_text);
        static_assert(parsed.has_value(), "the default does not read as the parameter's type");
        return parsed.value_or(T{});  // always the parsed value: asserted above
    }

    // Parameter I's value: its default when the argument is absent (never None: None given is
    // a conversion failure like any other value).
    template <class T, std::size_t I>
    static T convert(PyObject* bound) {
        if constexpr (parameters[I].has_default) {
            if (bound == nullptr) return default_value<T, I>();
        }
        return Argument<T>::convert(bound, spec.parameters[I]);
    }
};

// ---------------------------------------------------------------------------------------------
// The skeleton

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoargsFunction = PyObject* (*)(PyObject*, PyObject*);

// What the class's method table needs of one method.
struct MethodEntry {
    const char* name;
    const char* doc;
    FastcallFunction fastcall;  // METH_FASTCALL | METH_KEYWORDS, or
    NoargsFunction noargs;      // METH_NOARGS for a method without parameters
};

// The receiver as a Protocol, or the cast error naming 'Protocol'.
inline ProtocolObject& receiver(PyObject* self) {
    PyTypeObject* type = protocol_type();
    if (type == nullptr) throw PyErrorAlreadySet{};
    if (!PyObject_TypeCheck(self, type)) {
        set_cast_error(self, PROTOCOL_CLASS_NAME);
        throw PyErrorAlreadySet{};
    }
    return *reinterpret_cast<ProtocolObject*>(self);
}

// A body's result as a new reference: None for void, Python numbers for numbers, and a
// reference the body made itself as it is.
template <class R>
PyObject* to_python(R&& result) {
    using T = std::remove_cvref_t<R>;
    PyObject* object = nullptr;
    if constexpr (std::is_same_v<T, PyObject*>) {
        return result;
    } else if constexpr (std::is_same_v<T, double>) {
        object = PyFloat_FromDouble(result);
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        object = PyLong_FromUnsignedLongLong(result);
    } else {
        static_assert(sizeof(T) == 0, "no Python result for this return type");
    }
    check(object != nullptr);
    return object;
}

// Converts the bound arguments in parameter order (a braced list is evaluated left to right),
// then runs the body with them. Converted values that hold an access to an argument object
// keep it until the body has returned.
template <class Decl, class Body, std::size_t... I>
PyObject* run_body(ProtocolObject& protocol, const BoundArguments& bound,
                   std::index_sequence<I...> /*parameters*/) {
    using Arguments = typename BodyTraits<Body>::Arguments;
    Arguments converted{Decl::template convert<std::tuple_element_t<I, Arguments>, I>(bound[I])...};
    return std::apply(
        [&protocol](auto&... values) -> PyObject* {
            if constexpr (std::is_void_v<typename BodyTraits<Body>::Result>) {
                Body{}(protocol, values...);
                return Py_NewRef(Py_None);
            } else {
                return to_python(Body{}(protocol, values...));
            }
        },
        converted);
}

template <class Decl, Access access, class Body>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    try {
        const BoundArguments bound = bind_fastcall(Decl::spec, args, nargs, kwnames);
        ProtocolObject& protocol = receiver(self);
        const AccessGuard guard(protocol.borrow_flag, access);
        return run_body<Decl, Body>(protocol, bound, std::make_index_sequence<Decl::count>{});
    } catch (...) {
        return translate_current_exception();
    }
}

// The interpreter has already refused any argument.
template <class Decl, Access access, class Body>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) noexcept {
    try {
        ProtocolObject& protocol = receiver(self);
        const AccessGuard guard(protocol.borrow_flag, access);
        return run_body<Decl, Body>(protocol, BoundArguments{}, std::index_sequence<>{});
    } catch (...) {
        return translate_current_exception();
    }
}

// Declares a method: see the top of this file.
template <FixedString Name, Access access, FixedString... Params, class Body>
constexpr MethodEntry declare(Body /*body*/) {
    using Decl = MethodDeclaration<Name, Params...>;
    static_assert(std::is_empty_v<Body> && std::is_default_constructible_v<Body>,
                  "a method body is a lambda without captures");
    static_assert(std::tuple_size_v<typename BodyTraits<Body>::Arguments> == Decl::count,
                  "the body takes one value per declared parameter");
    if constexpr (Decl::count == 0) {
        return {Decl::spec.callable, Decl::doc.data(), nullptr, &noargs_entry<Decl, access, Body>};
    } else {
        return {Decl::spec.callable, Decl::doc.data(), &fastcall_entry<Decl, access, Body>,
                nullptr};
    }
}

}  // namespace pyqelm
