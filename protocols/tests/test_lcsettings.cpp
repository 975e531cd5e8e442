// The coil constructor and the default machine configuration.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "protocols/log.hpp"
#include "protocols/settings.hpp"

namespace protocols {
namespace {

struct Case {
    std::vector<double> capacitances;
    double inductance;
    double max_carrier_frequency;
    std::vector<LCSetting> expected;
};

class CoilCreate : public ::testing::TestWithParam<Case> {};

TEST_P(CoilCreate, ComputesAndOrdersSettings) {
    const Case& c = GetParam();
    CoilResult r = Coil::create("c", c.inductance, 0.1, c.max_carrier_frequency, c.capacitances);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.coil().settings, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, CoilCreate,
    ::testing::Values(
        Case{{330.0}, 150.0, 40.0, {{330.0, 22.624434389140273, 221, 1}}},
        // Two kept of four, in carrier order.
        Case{{330.0, 220.0, 100.0, 47.0},
             150.0,
             40.0,
             {{330.0, 22.624434389140273, 221, 1}, {220.0, 27.77777777777778, 180, 2}}},
        // Equal capacitances are not merged; the later bank setting comes first.
        Case{{330.0, 330.0},
             150.0,
             40.0,
             {{330.0, 22.624434389140273, 221, 2}, {330.0, 22.624434389140273, 221, 1}}},
        // Order follows the carrier frequency, not the input position.
        Case{{220.0, 330.0},
             150.0,
             40.0,
             {{330.0, 22.624434389140273, 221, 2}, {220.0, 27.77777777777778, 180, 1}}},
        // A carrier exactly at the limit is kept.
        Case{{330.0}, 150.0, 22.624434389140273, {{330.0, 22.624434389140273, 221, 1}}},
        // A zero capacitance has an infinite carrier: dropped unless the limit is infinite.
        Case{{0.0, 330.0}, 150.0, 40.0, {{330.0, 22.624434389140273, 221, 2}}},
        Case{{0.0},
             150.0,
             std::numeric_limits<double>::infinity(),
             {{0.0, std::numeric_limits<double>::infinity(), 0, 1}}}));

TEST(CoilCreateTest, MaxCurrentDoesNotChangeSettings) {
    auto a = Coil::create("x", 150.0, 0.1, 40.0, {330.0, 220.0});
    auto b = Coil::create("x", 150.0, 99.0, 40.0, {330.0, 220.0});
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a.coil().settings, b.coil().settings);
    EXPECT_EQ(b.coil().max_current, 99.0);
}

struct CapturingLogger : log::Logger {
    std::vector<log::Record> records;
    void log(const log::Record& r) override { records.push_back(r); }
};

class LogFacade : public ::testing::Test {
protected:
    void TearDown() override {
        log::set_logger(nullptr);
        log::set_max_level(log::Level::Off);
    }
    CapturingLogger logger;
};

TEST_F(LogFacade, NoUsableSettingLogsAndFailsWithConfigError) {
    log::set_logger(&logger);
    log::set_max_level(log::Level::Error);
    for (const std::vector<double>& caps :
         {std::vector<double>{}, std::vector<double>{47.0}, std::vector<double>{-1.0}}) {
        CoilResult r = Coil::create("Coil \"7\"", 150.0, 0.1, 40.0, caps);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), ErrorCode::ConfigError);
    }
    ASSERT_EQ(logger.records.size(), 3u);
    const log::Record& rec = logger.records.front();
    EXPECT_EQ(rec.level, log::Level::Error);
    EXPECT_EQ(rec.target, "protocols::lcsettings");
    EXPECT_EQ(rec.message, "No valid carrier frequency can be calculated for coil Coil \"7\"");
    EXPECT_EQ(rec.file, "protocols/src/lcsettings.cpp");
    EXPECT_EQ(rec.line, 74u);
}

TEST_F(LogFacade, OffByDefaultAndBelowMaxLevelNothingIsDelivered) {
    log::set_logger(&logger);
    EXPECT_EQ(log::max_level(), log::Level::Off);
    EXPECT_FALSE(Coil::create("a", 150.0, 0.1, 40.0, {}).ok());
    log::set_max_level(log::Level::Trace);
    log::set_logger(nullptr);
    EXPECT_FALSE(Coil::create("b", 150.0, 0.1, 40.0, {}).ok());
    EXPECT_TRUE(logger.records.empty());
}

TEST(MachineConfigTest, Defaults) {
    MachineConfig m = MachineConfig::make_default();
    EXPECT_EQ(m.num_coils, 2u);
    ASSERT_EQ(m.coils.size(), 1u);
    EXPECT_EQ(m.coils[0].name, "Default");
    EXPECT_EQ(m.coils[0].inductance, 150.0);
    EXPECT_EQ(m.coils[0].max_current, 0.1);
    EXPECT_EQ(m.coils[0].max_carrier_frequency, 40.0);
    EXPECT_EQ(m.coils[0].settings, (std::vector<LCSetting>{{330.0, 22.624434389140273, 221, 1}}));
    EXPECT_EQ(m.capacitors, std::vector<double>{330.0});
    EXPECT_EQ(m.possible_capacitances, std::vector<double>{330.0});
    EXPECT_EQ(m.num_external_signal_sources, 6u);
    EXPECT_EQ(m.max_intensity_setpoint, 0.3);
    EXPECT_EQ(m.max_power, 520.0);
}

}  // namespace
}  // namespace protocols
