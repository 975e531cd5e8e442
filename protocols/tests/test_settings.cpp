// Default settings and the environment lookup.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "protocols/settings.hpp"

namespace protocols {
namespace {

TEST(SettingsTest, Defaults) {
    unsetenv(TARGET_MACHINE_VARIABLE);
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

struct EnvCase {
    const char* value;  // nullptr: unset
    bool expected;
};

class TargetMachine : public ::testing::TestWithParam<EnvCase> {
protected:
    void TearDown() override { unsetenv(TARGET_MACHINE_VARIABLE); }
};

TEST_P(TargetMachine, ReadAtEveryConstruction) {
    const EnvCase& c = GetParam();
    if (c.value == nullptr) {
        unsetenv(TARGET_MACHINE_VARIABLE);
    } else {
        setenv(TARGET_MACHINE_VARIABLE, c.value, 1);
    }
    EXPECT_EQ(Settings::make_default().running_on_target_machine, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Values, TargetMachine,
                         ::testing::Values(EnvCase{nullptr, false}, EnvCase{"", true},
                                           EnvCase{"0", true}, EnvCase{"caf\xc3\xa9", true},
                                           EnvCase{"\xff", false}, EnvCase{"\xc3", false},
                                           EnvCase{"\xed\xa0\x80", false}));

}  // namespace
}  // namespace protocols
