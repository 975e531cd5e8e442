// What the file-layer suites of both platforms use alike: contents to save and the names of
// parametrized cases.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
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

// Names parametrized cases after their `name` field.
struct ByName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& tested) const {
        return tested.param.name;
    }
};

}  // namespace pyqelm::fileio
