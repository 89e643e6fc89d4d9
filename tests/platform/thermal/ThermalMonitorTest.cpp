#include "platform/thermal/ThermalMonitor.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace pd::platform::thermal {
namespace {

using pd::testing::TempDirectory;
using pd::testing::writeText;
namespace fs = std::filesystem;

struct Trip {
  std::string type;
  std::string temp;
};

// A thermal zone folder as the kernel lays it out.
void makeZone(const fs::path& root, int index, const std::string& temp, const std::vector<Trip>& trips) {
  const fs::path zone = root / ("thermal_zone" + std::to_string(index));
  fs::create_directories(zone);
  writeText(zone / "type", "x86_pkg_temp\n");
  if (!temp.empty()) writeText(zone / "temp", temp + "\n");
  for (std::size_t i = 0; i < trips.size(); ++i) {
    writeText(zone / ("trip_point_" + std::to_string(i) + "_type"), trips[i].type + "\n");
    writeText(zone / ("trip_point_" + std::to_string(i) + "_temp"), trips[i].temp + "\n");
  }
}

const std::vector<Trip> kLaptopTrips = {{"active", "60000"}, {"passive", "90000"}, {"critical", "105000"}};

TEST(Thermal, LabelsAreTheLoggedWords) {
  EXPECT_EQ(label(ThermalState::nominal), "nominal");
  EXPECT_EQ(label(ThermalState::fair), "fair");
  EXPECT_EQ(label(ThermalState::serious), "serious");
  EXPECT_EQ(label(ThermalState::critical), "critical");
  EXPECT_EQ(label(ThermalState::unknown), "unknown");
}

TEST(Thermal, UnknownWithoutAZoneThatCanBeJudged) {
  TempDirectory tmp;
  EXPECT_EQ(readThermalState(tmp / "absent"), ThermalState::unknown);
  EXPECT_EQ(readThermalState(tmp.path()), ThermalState::unknown);
  makeZone(tmp.path(), 0, "99000", {}); // no trip points
  makeZone(tmp.path(), 1, "", kLaptopTrips); // no temperature
  makeZone(tmp.path(), 2, "garbage", kLaptopTrips); // unreadable temperature
  makeZone(tmp.path(), 3, "95000", {{"passive", "0"}, {"critical", "-1"}}); // placeholders
  writeText(tmp / "cooling_device0" / "type", "Processor\n");
  EXPECT_EQ(readThermalState(tmp.path()), ThermalState::unknown);
}

TEST(Thermal, MapsTemperatureAgainstTripPoints) {
  const std::vector<std::pair<std::string, ThermalState>> cases = {
      {"50000", ThermalState::nominal},   {"59999", ThermalState::nominal}, {"60000", ThermalState::fair},
      {"89999", ThermalState::fair},      {"90000", ThermalState::serious}, {"104999", ThermalState::serious},
      {"105000", ThermalState::critical}, {"-5000", ThermalState::nominal}};
  for (const auto& [temp, expected] : cases) {
    TempDirectory tmp;
    makeZone(tmp.path(), 0, temp, kLaptopTrips);
    EXPECT_EQ(readThermalState(tmp.path()), expected) << temp;
  }
}

TEST(Thermal, WithoutFansFairStartsShortOfTheFirstLimit) {
  const std::vector<Trip> trips = {{"passive", "90000"}, {"hot", "100000"}};
  const std::vector<std::pair<std::string, ThermalState>> cases = {{"79999", ThermalState::nominal},
                                                                   {"80000", ThermalState::fair},
                                                                   {"95000", ThermalState::serious},
                                                                   {"100000", ThermalState::critical}};
  for (const auto& [temp, expected] : cases) {
    TempDirectory tmp;
    makeZone(tmp.path(), 0, temp, trips);
    EXPECT_EQ(readThermalState(tmp.path()), expected) << temp;
  }
}

TEST(Thermal, TheWorstZoneDecides) {
  TempDirectory tmp;
  makeZone(tmp.path(), 0, "99000", {}); // hottest, not judged
  makeZone(tmp.path(), 1, "40000", kLaptopTrips); // nominal
  makeZone(tmp.path(), 2, "70000", {{"passive", "65000"}, {"bogus", "1"}}); // serious
  EXPECT_EQ(readThermalState(tmp.path()), ThermalState::serious);
}

TEST(Thermal, MonitorNotifiesOnlyRealChanges) {
  TempDirectory tmp;
  makeZone(tmp.path(), 0, "40000", kLaptopTrips);
  ThermalMonitor monitor(tmp.path());
  EXPECT_EQ(monitor.state(), ThermalState::nominal);
  std::vector<std::pair<ThermalState, ThermalState>> seen;
  auto connection = monitor.connectChanged([&](ThermalState from, ThermalState to) {
    seen.emplace_back(from, to);
    EXPECT_EQ(monitor.state(), to); // state already updated, and no lock held here
  });
  EXPECT_FALSE(monitor.poll().has_value());
  writeText(tmp / "thermal_zone0" / "temp", "95000\n");
  const auto change = monitor.poll();
  ASSERT_TRUE(change.has_value());
  EXPECT_EQ(change->from, ThermalState::nominal);
  EXPECT_EQ(change->to, ThermalState::serious);
  EXPECT_FALSE(monitor.poll().has_value());
  fs::remove_all(tmp / "thermal_zone0");
  EXPECT_EQ(monitor.poll()->to, ThermalState::unknown);
  const std::vector<std::pair<ThermalState, ThermalState>> expected = {{ThermalState::nominal, ThermalState::serious},
                                                                       {ThermalState::serious, ThermalState::unknown}};
  EXPECT_EQ(seen, expected);
}

} // namespace
} // namespace pd::platform::thermal
