#include "platform/net/Interface.hpp"

#include "TestSupport.hpp" // tests/platform: TempDirectory

#include <gtest/gtest.h>

#include <fstream>

namespace pd::platform::net {
namespace {

// A copy of the parts of /sys/class/net that the classification reads.
class FakeSysfs {
public:
  void add(const std::string& name, int arpType, const std::string& devType = {}, bool device = false,
           bool wireless = false) {
    const auto dir = root_.path() / name;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "type") << arpType << "\n";
    std::ofstream uevent(dir / "uevent");
    uevent << "INTERFACE=" << name << "\n";
    if (!devType.empty()) uevent << "DEVTYPE=" << devType << "\n";
    uevent << "IFINDEX=7\n";
    if (device) std::filesystem::create_directories(dir / "device");
    if (wireless) std::filesystem::create_directories(dir / "wireless");
  }
  const std::filesystem::path& path() const { return root_.path(); }

private:
  testing::TempDirectory root_;
};

TEST(InterfaceTest, KindComesFromTheKernelsDescription) {
  FakeSysfs sys;
  sys.add("wlp2s0", 1, "wlan", true);
  sys.add("wlx", 1, "", true, /*wireless=*/true);
  sys.add("wwan0", 519, "wwan", true);
  sys.add("enp3s0", 1, "", true);
  sys.add("enx001122", 1, "", true); // USB Ethernet: a device behind it, so wired
  sys.add("br0", 1, "bridge", false);
  sys.add("veth1", 1, "", false); // software Ethernet without a device
  sys.add("tun0", 65534, "", false);
  sys.add("lo2", 772);

  EXPECT_EQ(classifyInterface("wlp2s0", false, sys.path()), InterfaceType::wifi);
  EXPECT_EQ(classifyInterface("wlx", false, sys.path()), InterfaceType::wifi);
  EXPECT_EQ(classifyInterface("wwan0", false, sys.path()), InterfaceType::cellular);
  EXPECT_EQ(classifyInterface("enp3s0", false, sys.path()), InterfaceType::wiredEthernet);
  EXPECT_EQ(classifyInterface("enx001122", false, sys.path()), InterfaceType::wiredEthernet);
  EXPECT_EQ(classifyInterface("br0", false, sys.path()), InterfaceType::other);
  EXPECT_EQ(classifyInterface("veth1", false, sys.path()), InterfaceType::other);
  EXPECT_EQ(classifyInterface("tun0", false, sys.path()), InterfaceType::other);
  EXPECT_EQ(classifyInterface("lo2", false, sys.path()), InterfaceType::loopback);
  EXPECT_EQ(classifyInterface("missing", false, sys.path()), InterfaceType::other);
  EXPECT_EQ(classifyInterface("anything", true, sys.path()), InterfaceType::loopback);
}

TEST(InterfaceTest, NamesThatCouldLeaveTheFolderAreRefused) {
  FakeSysfs sys;
  sys.add("eth0", 1, "", true);
  std::filesystem::create_directories(sys.path() / "x");
  for (const char* bad : {"", ".", "..", "../eth0", "a/b", "name with blank", "sixteen-bytes-xx"}) {
    EXPECT_FALSE(isValidInterfaceName(bad)) << bad;
    EXPECT_EQ(classifyInterface(bad, false, sys.path()), InterfaceType::other) << bad;
  }
  EXPECT_TRUE(isValidInterfaceName("eth0"));
  EXPECT_TRUE(isValidInterfaceName("fifteen-bytes-x"));
}

TEST(InterfaceTest, LoopbackIsListedWithItsIndexKindAndAddress) {
  const auto all = listInterfaces();
  const auto lo = std::find_if(all.begin(), all.end(), [](const Interface& i) { return i.name == "lo"; });
  ASSERT_NE(lo, all.end());
  EXPECT_GT(lo->index, 0u);
  EXPECT_EQ(lo->type, InterfaceType::loopback);
  EXPECT_EQ(interfaceByIndex(lo->index), *lo);
  EXPECT_EQ(interfaceByName("lo"), *lo);
  EXPECT_FALSE(interfaceByName("no-such-if0"));
  EXPECT_FALSE(interfaceByIndex(0));

  const auto addresses = interfaceAddresses("lo");
  EXPECT_NE(std::find(addresses.begin(), addresses.end(),
                      InterfaceAddress{"lo", InterfaceAddress::Family::ipv4, "127.0.0.1"}),
            addresses.end());
}

} // namespace
} // namespace pd::platform::net
