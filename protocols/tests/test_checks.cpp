// The checks of a settings record: each kind of finding with its exact wording, what is
// deliberately not checked (unselected fields, disabled channels), cycle groups reported once,
// and chains long enough to break a recursive search.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "environment.hpp"
#include "protocols/checks.hpp"
#include "protocols/settings.hpp"

namespace protocols {
namespace {

Settings base() {
    test_env::clear_target_machine();
    Settings s = Settings::make_default();  // one Constant signal, channel A enabled
    return s;
}

std::vector<std::string> lines(const Settings& s) {
    std::vector<std::string> out;
    for (const Finding& f : check_settings(s)) out.push_back(f.to_string());
    return out;
}

Signal mixed(std::uint64_t a, std::uint64_t b) { return MixedSignalParams{a, b}; }
Signal constant() { return ConstantSignalParams{0.5}; }
SignalSourceSelection internal(std::uint64_t i) { return {i, 0, false}; }
SignalSourceSelection external(std::uint64_t i) { return {0, i, true}; }

struct Case {
    const char* name;
    std::function<void(Settings&)> change;
    std::vector<std::string> expected;

    friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

class Checks : public ::testing::TestWithParam<Case> {};

TEST_P(Checks, ReportExactlyTheseFindings) {
    Settings s = base();
    GetParam().change(s);
    EXPECT_EQ(lines(s), GetParam().expected);
}

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Sources, Checks,
    ::testing::Values(
        Case{"DefaultIsClean", [](Settings&) {}, {}},
        Case{"InternalBeyondSignals",
             [](Settings& s) { s.channel_a_settings.amplitude1_source = internal(1); },
             {"channel_a_settings.amplitude1_source: names signal 1, which does not exist "
              "(1 signal: 0)"}},
        Case{"NoSignalsAtAll",
             [](Settings& s) { s.signals.clear(); },
             {"channel_a_settings.amplitude1_source: names signal 0, which does not exist "
              "(no signals)",
              "channel_a_settings.amplitude2_source: names signal 0, which does not exist "
              "(no signals)",
              "channel_a_settings.modulation_source: names signal 0, which does not exist "
              "(no signals)"}},
        Case{"ExternalAtTheMachinesCount",
             [](Settings& s) { s.channel_a_settings.modulation_source = external(6); },
             {"channel_a_settings.modulation_source: selects external input 6, which does not "
              "exist (the machine has 6 inputs: 0..5)"}},
        Case{"LastExternalInputIsFine",
             [](Settings& s) { s.channel_a_settings.modulation_source = external(5); },
             {}},
        Case{"MachineWithoutInputs",
             [](Settings& s) {
                 s.machine_config.num_external_signal_sources = 0;
                 s.channel_a_settings.amplitude2_source = external(0);
             },
             {"channel_a_settings.amplitude2_source: selects external input 0, which does not "
              "exist (the machine has no inputs)"}},
        // The field that is not selected is stale data, whatever it holds.
        Case{"UnselectedFieldsIgnored",
             [](Settings& s) {
                 s.channel_a_settings.amplitude1_source = {u64_max, 2, true};
                 s.channel_a_settings.amplitude2_source = {0, u64_max, false};
             },
             {}},
        Case{"DisabledChannelIgnored",
             [](Settings& s) {
                 s.channel_b_settings.amplitude1_source = internal(40);
                 s.channel_b_settings.modulation_source = external(99);
                 s.channel_b_settings.coil_idx = 3;
             },
             {}},
        Case{"EnabledChannelBChecked",
             [](Settings& s) {
                 s.channel_b_settings.enabled = true;
                 s.channel_b_settings.amplitude1_source = internal(40);
                 s.channel_b_settings.modulation_source = external(99);
             },
             {"channel_b_settings.amplitude1_source: names signal 40, which does not exist "
              "(1 signal: 0)",
              "channel_b_settings.modulation_source: selects external input 99, which does not "
              "exist (the machine has 6 inputs: 0..5)"}},
        Case{"DisabledChannelADoesNotCount",
             [](Settings& s) {
                 s.channel_a_settings.enabled = false;
                 s.channel_a_settings.amplitude1_source = internal(7);
             },
             {}}));

INSTANTIATE_TEST_SUITE_P(
    CoilsAndIntensity, Checks,
    ::testing::Values(
        // The list has one record although num_coils says 2: positions follow the list.
        Case{"CoilBeyondList",
             [](Settings& s) {
                 s.channel_a_settings.coil_idx = 1;
                 s.channel_a_settings.coil_setting_idx = 5;  // not looked up without its coil
             },
             {"channel_a_settings.coil_idx: names coil 1, which does not exist "
              "(1 coil record: 0)"}},
        Case{"LCSettingBeyondCoilsSettings",
             [](Settings& s) { s.channel_a_settings.coil_setting_idx = 1; },
             {"channel_a_settings.coil_setting_idx: names LC setting 1 of coil 0, which does "
              "not exist (1 LC setting: 0)"}},
        Case{"IntensityAtTheSetpoint", [](Settings& s) { s.intensity = 0.3; }, {}},
        Case{"IntensityAboveTheSetpoint",
             [](Settings& s) { s.intensity = 0.30000000000000004; },
             {"intensity: 0.30000000000000004 is above the machine's max_intensity_setpoint 0.3"}},
        Case{"IntensityNaN",
             [](Settings& s) { s.intensity = std::nan(""); },
             {"intensity: NaN cannot be compared with the machine's max_intensity_setpoint 0.3"}}));

INSTANTIATE_TEST_SUITE_P(
    Signals, Checks,
    ::testing::Values(
        Case{"ArbitraryOfTheSessionsLength",
             [](Settings& s) {
                 s.session_duration = 0.01;
                 s.signals.push_back(ArbitrarySignalParams{SampleVector(50, 0)});
             },
             {}},
        Case{"ArbitraryOneShort",
             [](Settings& s) {
                 s.session_duration = 0.01;
                 s.signals.push_back(ArbitrarySignalParams{SampleVector(49, 0)});
             },
             {"signals[1].samples: holds 49 samples, but the session of 0.01 s has 50"}},
        // 0.01001 s is 50.05 samples, rounded up.
        Case{"SessionLengthRoundsUp",
             [](Settings& s) {
                 s.session_duration = 0.01001;
                 s.signals.push_back(ArbitrarySignalParams{SampleVector(50, 0)});
             },
             {"signals[1].samples: holds 50 samples, but the session of 0.01001 s has 51"}},
        Case{"MixedNamesMissingSignals",
             [](Settings& s) { s.signals.push_back(mixed(2, u64_max)); },
             {"signals[1].a_idx: names signal 2, which does not exist (2 signals: 0..1)",
              "signals[1].b_idx: names signal 18446744073709551615, which does not exist "
              "(2 signals: 0..1)"}},
        Case{"MixedNamesItself",
             [](Settings& s) { s.signals = {constant(), mixed(0, 1)}; },
             {"signals[1].b_idx: names the mixed signal itself"}},
        Case{"TwoMixedSignalsOneCycle",
             [](Settings& s) { s.signals = {mixed(1, 2), mixed(0, 2), constant()}; },
             {"signals[0]: mixed signals 0 and 1 form a cycle: 0 -> 1 -> 0"}},
        Case{"CycleFoundFromAnyStart",
             [](Settings& s) { s.signals = {constant(), mixed(3, 0), mixed(1, 0), mixed(2, 0)}; },
             {"signals[1]: mixed signals 1, 2 and 3 form a cycle: 1 -> 3 -> 2 -> 1"}},
        Case{"TwoSeparateCycles",
             [](Settings& s) {
                 s.signals = {mixed(4, 4), constant(), mixed(3, 1), mixed(2, 2), mixed(0, 0)};
             },
             {"signals[0]: mixed signals 0 and 4 form a cycle: 0 -> 4 -> 0",
              "signals[2]: mixed signals 2 and 3 form a cycle: 2 -> 3 -> 2"}},
        // 0 -> 1 -> 0 and 0 -> 2 -> 0: one group, one finding, the shortest cycle as example.
        Case{"FigureEightIsOneGroup",
             [](Settings& s) { s.signals = {mixed(1, 2), mixed(0, 0), mixed(0, 0)}; },
             {"signals[0]: mixed signals 0, 1 and 2 depend on one another in cycles, for "
              "example 0 -> 1 -> 0"}},
        Case{"SignalLeadingIntoACycleIsNotInIt",
             [](Settings& s) { s.signals = {mixed(1, 1), mixed(2, 2), mixed(1, 1)}; },
             {"signals[1]: mixed signals 1 and 2 form a cycle: 1 -> 2 -> 1"}},
        Case{"DiamondIsNoCycle",
             [](Settings& s) { s.signals = {mixed(1, 2), mixed(3, 3), mixed(3, 3), constant()}; },
             {}},
        Case{"SelfReferenceInsideACycle",
             [](Settings& s) { s.signals = {mixed(0, 1), mixed(0, 0)}; },
             {"signals[0].a_idx: names the mixed signal itself",
              "signals[0]: mixed signals 0 and 1 form a cycle: 0 -> 1 -> 0"}}));

TEST(Checks, FindingsComeInFieldOrder) {
    Settings s = base();
    s.session_duration = 0.01;
    s.intensity = 1.0;
    s.channel_b_settings.enabled = true;
    s.channel_b_settings.amplitude2_source = internal(9);
    s.channel_a_settings.modulation_source = external(6);
    s.signals = {mixed(1, 1), mixed(0, 7), ArbitrarySignalParams{SampleVector(3, 0)}};
    const auto found = check_settings(s);
    std::vector<std::string> paths;
    for (const Finding& f : found) paths.push_back(f.path);
    EXPECT_EQ(paths,
              (std::vector<std::string>{"intensity", "signals[1].b_idx", "signals[2].samples",
                                        "signals[0]", "channel_a_settings.modulation_source",
                                        "channel_b_settings.amplitude2_source"}));
}

// 200,000 mixed signals each naming the next: a recursive search would overflow the stack.
TEST(Checks, LongChainsNeedNoRecursion) {
    constexpr std::uint64_t n = 200'000;
    Settings s = base();
    s.signals.clear();
    for (std::uint64_t i = 0; i < n; ++i) s.signals.push_back(mixed(i + 1, i + 1));
    s.signals.push_back(constant());
    EXPECT_TRUE(check_settings(s).empty());

    s.signals.back() = mixed(0, 0);  // closes the ring
    const auto found = check_settings(s);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, "signals[0]");
    EXPECT_EQ(found[0].message,
              "mixed signals 0, 1, 2, 3, 4, 5, 6, 7, 8, 9 and 199991 more form a cycle: "
              "0 -> 1 -> 2 -> 3 -> 4 -> 5 -> 6 -> 7 -> 8 -> 9 -> (199991 more) -> 0");
}

}  // namespace
}  // namespace protocols
