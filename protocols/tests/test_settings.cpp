// Default settings and the environment lookup.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "environment.hpp"
#include "protocols/settings.hpp"

namespace protocols {
namespace {

TEST(SettingsTest, Defaults) {
    test_env::clear_target_machine();
    Settings s = Settings::make_default();
    EXPECT_FALSE(s.running_on_target_machine);
    EXPECT_EQ(s.intensity, 0.0);
    EXPECT_EQ(s.session_duration, 60.0);
    ASSERT_EQ(s.signals.size(), 1u);
    EXPECT_EQ(s.signals[0], Signal{ConstantSignalParams{0.0}});
    EXPECT_TRUE(s.channel_a_settings.enabled);
    EXPECT_FALSE(s.channel_b_settings.enabled);
    EXPECT_EQ(s.channel_b_settings, ChannelSettings{});
    EXPECT_EQ(s.monitor_trace_visible.size(), 16u);
    for (bool flag : s.monitor_trace_visible) EXPECT_FALSE(flag);
    EXPECT_EQ(s.monitor_subsampling_factor, 1u);
    EXPECT_EQ(s.machine_config, MachineConfig::make_default());
}

#ifdef _WIN32
// The Windows environment holds UTF-16 units: "not valid Unicode" is an unpaired surrogate.
struct EnvCase {
    const char* name;
    const wchar_t* value;  // nullptr: absent
    bool expected;
};

class TargetMachine : public ::testing::TestWithParam<EnvCase> {
protected:
    void TearDown() override { test_env::clear_target_machine(); }
};

TEST_P(TargetMachine, ReadAtEveryConstruction) {
    test_env::set_target_machine_utf16(GetParam().value);
    EXPECT_EQ(Settings::make_default().running_on_target_machine, GetParam().expected);
}

// Longer than the first buffer of the lookup, ending in a lone high surrogate or not.
const std::wstring long_value(300, L'v');
const std::wstring long_lone = long_value + L"\xD83D";

INSTANTIATE_TEST_SUITE_P(
    Values, TargetMachine,
    ::testing::Values(EnvCase{"Absent", nullptr, false}, EnvCase{"Empty", L"", true},
                      EnvCase{"Zero", L"0", true}, EnvCase{"Accented", L"caf\u00e9", true},
                      EnvCase{"Pair", L"\xD83D\xDE00", true}, EnvCase{"LoneHigh", L"\xD800", false},
                      EnvCase{"LoneHighThenText", L"\xD83Dx", false},
                      EnvCase{"LoneLow", L"a\xDC00", false},
                      EnvCase{"ReversedPair", L"\xDE00\xD83D", false},
                      EnvCase{"Long", long_value.c_str(), true},
                      EnvCase{"LongEndingInLoneHigh", long_lone.c_str(), false}),
    [](const auto& tested) { return std::string(tested.param.name); });
#else
struct EnvCase {
    const char* value;  // nullptr: unset
    bool expected;
};

class TargetMachine : public ::testing::TestWithParam<EnvCase> {
protected:
    void TearDown() override { test_env::clear_target_machine(); }
};

TEST_P(TargetMachine, ReadAtEveryConstruction) {
    const EnvCase& c = GetParam();
    if (c.value == nullptr) {
        test_env::clear_target_machine();
    } else {
        test_env::set_target_machine(c.value);
    }
    EXPECT_EQ(Settings::make_default().running_on_target_machine, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Values, TargetMachine,
                         ::testing::Values(EnvCase{nullptr, false}, EnvCase{"", true},
                                           EnvCase{"0", true}, EnvCase{"caf\xc3\xa9", true},
                                           EnvCase{"\xff", false}, EnvCase{"\xc3", false},
                                           EnvCase{"\xed\xa0\x80", false}));
#endif

}  // namespace
}  // namespace protocols
