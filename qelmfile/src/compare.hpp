// Walks two records of the same type side by side, field by field in declared order, and hands
// every difference with its field path to a sink. Equality, diff() and the refusals of
// to_protocol are all this one walk.
//
// Floats are compared by their bits, as the file stores them: NaN equals a NaN of the same
// payload, and 0.0 differs from -0.0. A list whose length differs, a signal whose kind differs
// and a sample list that differs anywhere are reported once, as a whole; lists of equal length
// are compared element by element.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "protocols/settings.hpp"

namespace qelmfile {

// A dotted field path under construction: "channel_a_settings.amplitude1_source.internal".
class FieldPath {
public:
    const std::string& text() const noexcept { return text_; }

    // Appends ".name" (or "name" at the root) for the lifetime of the returned guard.
    class Guard {
    public:
        Guard(FieldPath& path, std::size_t keep) noexcept : path_(path), keep_(keep) {}
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        ~Guard() { path_.text_.resize(keep_); }

    private:
        FieldPath& path_;
        std::size_t keep_;
    };
    [[nodiscard]] Guard field(std::string_view name) {
        const std::size_t keep = text_.size();
        if (!text_.empty()) text_ += '.';
        text_ += name;
        return Guard(*this, keep);
    }
    [[nodiscard]] Guard index(std::size_t i) {
        const std::size_t keep = text_.size();
        text_ += '[';
        text_ += std::to_string(i);
        text_ += ']';
        return Guard(*this, keep);
    }

private:
    std::string text_;
};

template <class T>
bool same_value(const T& a, const T& b) {
    if constexpr (std::is_same_v<T, double>) {
        return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
    } else {
        return a == b;
    }
}

// `sink(path, a, b)` is called for each difference and returns false to stop the walk.
// compare() returns false once the sink has stopped it.
template <class T, class Sink>
bool compare(const T& a, const T& b, FieldPath& path, Sink& sink);

template <class R, class Sink>
bool compare_fields(const R& a, const R& b, FieldPath& path, Sink& sink) {
    // The fields of `b` in declared order, matched to those of `a` by position: both walks see
    // the same declaration, so the i-th field has the same type in both.
    std::array<const void*, 32> fields_of_b{};
    std::size_t n = 0;
    for_each_field(b, [&](std::string_view, const auto& field) { fields_of_b[n++] = &field; });
    std::size_t i = 0;
    bool go_on = true;
    for_each_field(a, [&](std::string_view name, const auto& field) {
        using F = std::remove_cvref_t<decltype(field)>;
        const F& other = *static_cast<const F*>(fields_of_b[i++]);
        if (!go_on) return;
        auto guard = path.field(name);
        go_on = compare(field, other, path, sink);
    });
    return go_on;
}

template <class T, class Sink>
bool compare(const T& a, const T& b, FieldPath& path, Sink& sink) {
    if constexpr (std::is_same_v<T, protocols::SampleVector>) {
        return a == b || sink(path.text(), a, b);
    } else if constexpr (protocols::IsVector<T>::value) {
        if (a.size() != b.size()) return sink(path.text(), a, b);
        for (std::size_t i = 0; i < a.size(); ++i) {
            auto guard = path.index(i);
            if (!compare(a[i], b[i], path, sink)) return false;
        }
        return true;
    } else if constexpr (std::is_same_v<T, std::array<bool, 16>>) {
        for (std::size_t i = 0; i < a.size(); ++i) {
            auto guard = path.index(i);
            if (a[i] != b[i] && !sink(path.text(), a[i], b[i])) return false;
        }
        return true;
    } else if constexpr (std::is_same_v<T, protocols::Signal>) {
        if (a.index() != b.index()) return sink(path.text(), a, b);
        return std::visit(
            [&](const auto& params) {
                using P = std::remove_cvref_t<decltype(params)>;
                return compare_fields(params, std::get<P>(b), path, sink);
            },
            a);
    } else if constexpr (protocols::Record<T>) {
        return compare_fields(a, b, path, sink);
    } else {
        return same_value(a, b) || sink(path.text(), a, b);
    }
}

template <class T>
bool records_equal(const T& a, const T& b) {
    FieldPath path;
    bool equal = true;
    auto stop = [&equal](const std::string&, const auto&, const auto&) {
        equal = false;
        return false;
    };
    compare(a, b, path, stop);
    return equal;
}

}  // namespace qelmfile
