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

constexpr double inf = std::numeric_limits<double>::infinity();

Signal sine(double amplitude, double frequency, double phase = 0.0, double depth = 1.0) {
    return SineSignalParams{amplitude, frequency, phase, depth};
}
Signal ramp(double peak, double up, double down) { return RampSignalParams{peak, up, down}; }

// What the stimulator cannot produce: one case per rule and per side of each bound, the bound
// itself accepted.
INSTANTIATE_TEST_SUITE_P(
    Values, Checks,
    ::testing::Values(
        Case{"LevelsAtTheirBounds",
             [](Settings& s) {
                 s.session_duration = 10.0;
                 s.signals = {ConstantSignalParams{1.0},    ConstantSignalParams{-0.0},
                              sine(1.0, 2500.0, -7.0, 0.0), sine(0.0, 1e-9, 0.0, 1.0),
                              ramp(1.0, 10.0, 0.0),         ramp(0.0, 4.0, 6.0)};
             },
             {}},
        Case{"ConstantAboveOne",
             [](Settings& s) { s.signals = {ConstantSignalParams{1.5}}; },
             {"signals[0].value: 1.5 is above 1 (levels are fractions of full intensity, 0..1)"}},
        Case{"ConstantBelowZero",
             [](Settings& s) { s.signals = {ConstantSignalParams{-0.25}}; },
             {"signals[0].value: -0.25 is below 0 (levels are fractions of full intensity, "
              "0..1)"}},
        Case{"SineAmplitudeAboveOne",
             [](Settings& s) { s.signals.push_back(sine(5.0, 10.0)); },
             {"signals[1].amplitude: 5.0 is above 1 (levels are fractions of full intensity, "
              "0..1)"}},
        Case{"SineDepthOutsideZeroToOne",
             [](Settings& s) {
                 s.signals = {sine(1.0, 10.0, 0.0, 1.25), sine(1.0, 10.0, 0.0, -1)};
             },
             {"signals[0].depth: 1.25 is above 1 (depths are fractions, 0..1)",
              "signals[1].depth: -1.0 is below 0 (depths are fractions, 0..1)"}},
        Case{"SineFrequencyZeroOrNegative",
             [](Settings& s) { s.signals = {sine(1.0, 0.0), sine(1.0, -10.0)}; },
             {"signals[0].frequency: 0.0 Hz is not above 0 (a sine needs a positive frequency)",
              "signals[1].frequency: -10.0 Hz is not above 0 (a sine needs a positive "
              "frequency)"}},
        Case{"SineFrequencyAboveHalfTheSamplingRate",
             [](Settings& s) { s.signals = {sine(1.0, 2500.0000000000005)}; },
             {"signals[0].frequency: 2500.0000000000005 Hz is above 2500.0 Hz, half the "
              "sampling rate of 5000.0 samples per second"}},
        Case{"RampPeakAboveOne",
             [](Settings& s) { s.signals = {ramp(2.0, 1.0, 1.0)}; },
             {"signals[0].peak: 2.0 is above 1 (levels are fractions of full intensity, 0..1)"}},
        Case{"RampDurationsNegative",
             [](Settings& s) { s.signals = {ramp(1.0, -1.0, -0.5)}; },
             {"signals[0].up_duration: -1.0 s is negative",
              "signals[0].down_duration: -0.5 s is negative"}},
        Case{"RampDurationLongerThanTheSession",
             [](Settings& s) {
                 s.session_duration = 10.0;
                 s.signals = {ramp(1.0, 10.5, 1.0)};
             },
             {"signals[0].up_duration: 10.5 s is longer than the session of 10.0 s"}},
        Case{"RampDurationsAddUpToMoreThanTheSession",
             [](Settings& s) {
                 s.session_duration = 10.0;
                 s.signals = {ramp(1.0, 6.0, 4.5)};
             },
             {"signals[0]: up_duration 6.0 s and down_duration 4.5 s add up to 10.5 s, longer "
              "than the session of 10.0 s"}},
        // Against a session of no valid length the ramp is not measured; the session is
        // reported instead.
        Case{"SessionOutsideItsRange",
             [](Settings& s) {
                 s.session_duration = -5.0;
                 s.signals = {ramp(1.0, 1.0, 1.0)};
             },
             {"session_duration: -5.0 s is outside 0.01..1800.0 s, the session lengths the "
              "stimulator runs"}},
        Case{"SessionJustBeyondTheLongest",
             [](Settings& s) { s.session_duration = 1800.0000000000002; },
             {"session_duration: 1800.0000000000002 s is outside 0.01..1800.0 s, the session "
              "lengths the stimulator runs"}},
        Case{"NegativeSamples",
             [](Settings& s) {
                 s.session_duration = 0.01;
                 SampleVector samples(50, 100);
                 samples[7] = -3;
                 samples[20] = -32768;
                 samples[49] = -1;
                 s.signals = {ArbitrarySignalParams{samples}};
             },
             {"signals[0].samples[7]: -3 is below 0 (levels are fractions of full intensity, "
              "0..1; samples hold them as 0..32767), and so are 2 later samples"}},
        Case{"IntensityBelowZero",
             [](Settings& s) { s.intensity = -0.1; },
             {"intensity: -0.1 is below 0 (levels are fractions of full intensity, 0..1)"}},
        Case{"IntensityAboveOneUnderAHigherSetpoint",
             [](Settings& s) {
                 s.machine_config.max_intensity_setpoint = 2.0;
                 s.intensity = 1.5;
             },
             {"intensity: 1.5 is above 1 (levels are fractions of full intensity, 0..1)"}},
        // A number that is not finite gets that finding alone, whatever rule its field has.
        Case{"NotFiniteAnywhere",
             [](Settings& s) {
                 s.machine_config.supply_voltage = inf;
                 s.machine_config.coils[0].settings[0].carrier_frequency = std::nan("");
                 s.machine_config.possible_capacitances.push_back(-inf);
                 s.session_duration = inf;
                 s.signals = {ConstantSignalParams{std::nan("")},
                              sine(inf, std::nan(""), -inf, std::nan("")),
                              ramp(-inf, inf, std::nan(""))};
             },
             {"machine_config.supply_voltage: inf is not a finite number",
              "machine_config.coils[0].settings[0].carrier_frequency: NaN is not a finite "
              "number",
              "machine_config.possible_capacitances[" +
                  std::to_string(
                      Settings::make_default().machine_config.possible_capacitances.size()) +
                  "]: -inf is not a finite number",
              "session_duration: inf is not a finite number",
              "signals[0].value: NaN is not a finite number",
              "signals[1].amplitude: inf is not a finite number",
              "signals[1].frequency: NaN is not a finite number",
              "signals[1].phase: -inf is not a finite number",
              "signals[1].depth: NaN is not a finite number",
              "signals[2].peak: -inf is not a finite number",
              "signals[2].up_duration: inf is not a finite number",
              "signals[2].down_duration: NaN is not a finite number"}}));

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
