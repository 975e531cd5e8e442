// What the file-layer suites of both platforms use alike: contents to save, whole-file reads and
// writes by narrow path, and the names of parametrized cases.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace pyqelm::fileio {

using Bytes = std::vector<std::uint8_t>;

// `size` bytes that differ with `seed`, so that old and new contents of a file never agree.
inline Bytes pattern(std::size_t size, unsigned seed) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + seed);
    return out;
}

inline Bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

// Names parametrized cases after their `name` field.
struct ByName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& tested) const {
        return tested.param.name;
    }
};

}  // namespace pyqelm::fileio
