// SPDX-License-Identifier: Apache-2.0
#include "CXHSMMntTab.h"
#include "TestSupport.h"

using test::EngineTest;
using Call = FlrSnapOS::TestEngine::Call;

class MountTableTest : public EngineTest {};

TEST_F(MountTableTest, FindsExactMountPointsAndTheTopOfAStack) {
  engine->addMount("dev-a", "/srv/a");
  engine->addMount("dev-b", "/srv/a");  // mounted on top
  CXHSMMntTab tab;
  ASSERT_TRUE(tab.find("/srv/a"));
  EXPECT_EQ(tab.find("/srv/a")->device, "dev-b");
  EXPECT_FALSE(tab.find("/srv"));
  EXPECT_FALSE(tab.find("/srv/a/"));
  EXPECT_FALSE(tab.find(nullptr));
}

TEST_F(MountTableTest, ReReadsOnlyWhenTheEngineReportsAChange) {
  CXHSMMntTab tab;
  size_t reads = engine->callsOf("mountTable").size();
  EXPECT_FALSE(tab.refreshIfChanged());
  EXPECT_EQ(engine->callsOf("mountTable").size(), reads);
  auto before = tab.find("/late");
  engine->addMount("dev-late", "/late");
  EXPECT_FALSE(tab.find("/late")) << "a table is a snapshot until refreshed";
  EXPECT_TRUE(tab.refreshIfChanged());
  ASSERT_TRUE(tab.find("/late"));
  EXPECT_EQ(tab.find("/late")->device, "dev-late");
  EXPECT_FALSE(before);
}

TEST_F(MountTableTest, AReplacedEngineIsReadAfresh) {
  CXHSMMntTab tab;
  auto other = std::make_shared<FlrSnapOS::TestEngine>();
  other->addMount("other-dev", "/other");
  FlrSnapOS::setEngine(FlrSnapOS::FLR_SNAP_ENG_NATIVE, other);
  EXPECT_TRUE(tab.refreshIfChanged());
  EXPECT_TRUE(tab.find("/other"));
}
