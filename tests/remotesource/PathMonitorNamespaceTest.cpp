// The real netlink path monitor under the real manager, in a user and network namespace made
// for the test: an interface going down and up again is a lost and a recovered path.

#include "support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace pd::remotesource {
namespace {

using namespace std::chrono_literals;

bool underCI() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

// Reads lines until one equals `wanted`; returns every line read, that one included. The wait
// per line is generous: the probe's health check runs in a child that a loaded machine starts late.
std::vector<std::string> readUntil(testing::ChildProcess& child, const std::string& wanted) {
  std::vector<std::string> lines;
  while (auto line = child.readLine(30s)) {
    lines.push_back(*line);
    if (*line == wanted) break;
  }
  return lines;
}

TEST(PathMonitorNamespaceTest, InterfaceDownAndUpIsALostAndARecoveredPathWithOneCheck) {
  {
    testing::ChildProcess probe("/usr/bin/unshare", {"-Urn", "/bin/true"});
    if (probe.wait() != 0) {
      if (underCI()) FAIL() << "user and network namespaces are refused here";
      GTEST_SKIP() << "user and network namespaces are refused here";
    }
  }
  // veth1 stays up so that veth0 has a carrier whenever it is up itself.
  const std::string script = "ip link add veth0 type veth peer name veth1 && ip addr add 10.9.0.1/24 dev veth0 && "
                             "ip link set veth1 up || exit 1; "
                             "\"$0\" & probe=$!; "
                             "while read -r command; do ip link set veth0 \"$command\"; done; kill $probe";
  testing::ChildProcess shell("/usr/bin/unshare", {"-Urn", "/bin/sh", "-c", script, PD_PATH_MONITOR_PROBE});

  // Nothing usable at start: the first update is a loss, and the first check finds nothing. The
  // monitor's first update and the start-up check race, so the two lines come in either order.
  bool lost = false;
  bool checked = false;
  while (!(lost && checked)) {
    const auto line = shell.readLine(30s);
    ASSERT_TRUE(line) << "the probe ended or fell silent before its first update and check";
    lost = lost || *line == "path_lost";
    checked = checked || *line == "all_instances_fail total=1";
  }

  shell.writeLine("up");
  auto lines = readUntil(shell, "all_instances_fail total=1");
  EXPECT_EQ(lines, (std::vector<std::string>{"path_recovered", "health_check healthy=0 total=1",
                                             "all_instances_fail total=1"}));
  shell.writeLine("down");
  lines = readUntil(shell, "path_lost");
  EXPECT_EQ(lines, std::vector<std::string>{"path_lost"});
  EXPECT_FALSE(shell.readLine(500ms)); // one update per change, nothing more
  shell.closeStdin();
  shell.wait();
}

} // namespace
} // namespace pd::remotesource
