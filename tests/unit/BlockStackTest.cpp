// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <filesystem>

#include "BlockStack.h"
#include "TestSupport.h"

namespace {
namespace fs = std::filesystem;

// A /sys tree as the kernel lays it out: /sys/dev/block/MAJ:MIN and
// /sys/block/NAME link to the device's folder, whose slaves/ link to those below.
class FakeSys {
 public:
  explicit FakeSys(const std::string& root) : m_root(root) {}
  void device(const std::string& kernelName, const std::string& dev, const std::string& dmName = "",
              const std::string& dmUuid = "", const std::vector<std::string>& below = {}) {
    const fs::path folder = fs::path(m_root) / "devices/virtual/block" / kernelName;
    fs::create_directories(folder / "slaves");
    if (!dmName.empty()) {
      fs::create_directories(folder / "dm");
      test::WriteFile((folder / "dm/name").string(), dmName + "\n");
      test::WriteFile((folder / "dm/uuid").string(), dmUuid + "\n");
    }
    for (auto& b : below) fs::create_directory_symlink("../../" + b, folder / "slaves" / b);
    fs::create_directories(fs::path(m_root) / "dev/block");
    fs::create_directories(fs::path(m_root) / "block");
    fs::create_directory_symlink("../../devices/virtual/block/" + kernelName, fs::path(m_root) / "dev/block" / dev);
    fs::create_directory_symlink("../devices/virtual/block/" + kernelName, fs::path(m_root) / "block" / kernelName);
  }

 private:
  std::string m_root;
};

const std::string kVg(32, 'v'), kLvA(32, 'a'), kLvB(32, 'b');
}  // namespace

TEST(BlockStack, NamesTheDeviceAboveAnLvAndTheLvBeneath) {
  const std::string root = test::MakeTempDir();
  FakeSys sys(root);
  sys.device("vda", "254:0");
  sys.device("dm-0", "253:0", "vgzr-lvsecret", "LVM-" + kVg + kLvA, {"vda"});
  sys.device("dm-1", "253:1", "vg--a-lv--b", "LVM-" + kVg + kLvB, {"vda"});
  sys.device("dm-2", "253:2", "vgzr-lvsecret-real", "LVM-" + kVg + kLvA + "-real", {"vda"});
  sys.device("dm-3", "253:3", "secret", "CRYPT-LUKS2-0123-secret", {"dm-0"});
  sys.device("dm-4", "253:4", "mpatha", "mpath-36001", {"dm-1", "dm-0"});
  sys.device("dm-5", "253:5", "plain", "CRYPT-PLAIN-plain", {"vda"});
  sys.device("dm-6", "253:6", "layer", "", {"dm-2"});
  struct Case {
    unsigned minor;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {3, "/dev/mapper/x is the dm-crypt device dm-3 (secret) over the logical volume vgzr/lvsecret"},
      {4, "/dev/mapper/x is the multipath device dm-4 (mpatha) over the logical volumes vg-a/lv-b, vgzr/lvsecret"},
      {0, ""},  // an LV itself: the lookup failed for another reason
      {5, ""},  // over a disk: no LV is concerned
      {6, ""},  // over a layer of an LV, not the LV
      {9, ""},  // no such device
  };
  for (auto& c : cases) {
    EXPECT_EQ(FlrSnapOS::deviceAboveLv("/dev/mapper/x", 253, c.minor, root), c.expected) << c.minor;
  }
  EXPECT_EQ(FlrSnapOS::deviceAboveLv("/dev/mapper/x", 254, 0, root), "") << "a disk";
  EXPECT_EQ(FlrSnapOS::deviceAboveLv(root, root), "") << "not a block device";
  fs::remove_all(root);
}
