// Files of arbitrary signals for the decoder comparisons: random sample lists of a chosen width,
// the file that holds them, and a decode result told as one comparable line.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "environment.hpp"
#include "protocols/decoding.hpp"
#include "protocols/encoding.hpp"
#include "protocols/settings.hpp"

namespace protocols::test_files {

inline ByteBuffer encode(const Settings& settings) {
    ByteBuffer out;
    encode_settings(settings, out);
    return out;
}

// The records by their encoding: its length and a hash of its bytes.
inline std::string describe(const Settings& settings) {
    ByteBuffer again;
    encode_settings(settings, again);
    return "decoded to " + std::to_string(again.size()) + " bytes, " +
           std::to_string(std::hash<std::string>{}(std::string(again.begin(), again.end())));
}

inline std::string describe(const DecodeResult& r) {
    if (const auto* e = std::get_if<DecodeError>(&r)) return e->to_string();
    return describe(std::get<Settings>(r));
}

// One arbitrary signal per list, each followed by a constant one: bytes of another kind between
// and after the samples.
inline ByteBuffer file_with_samples(const std::vector<SampleVector>& lists) {
    test_env::clear_target_machine();
    Settings s = Settings::make_default();
    s.signals.clear();
    for (const SampleVector& samples : lists) {
        s.signals.push_back(ArbitrarySignalParams{samples});
        s.signals.push_back(ConstantSignalParams{0.5});
    }
    ByteBuffer out;
    encode_settings(s, out);
    return out;
}

// Sample values of one width: one byte (0), two (1), three (2), or any of these (3).
inline SampleVector draw(std::mt19937& rng, std::size_t n, int width) {
    std::uniform_int_distribution<int> any(-32768, 32767);
    std::uniform_int_distribution<int> small(-64, 63);
    std::uniform_int_distribution<int> medium(-8192, 8191);
    SampleVector samples(n);
    for (auto& s : samples) {
        const int pick = width == 3 ? static_cast<int>(rng() % 3) : width;
        const int v = pick == 0 ? small(rng) : pick == 1 ? medium(rng) : any(rng);
        s = static_cast<std::int16_t>(v);
    }
    return samples;
}

}  // namespace protocols::test_files
