#include "tests/TestSupport.h"

namespace {

class Smoke : public test::CacheTest {};

TEST_F(Smoke, AddsAnItem)
{
    CacheManagerImpl& m = Manager();
    const std::string item = Item("a.bin");
    test::WriteFile(item, 100);
    ASSERT_TRUE(m.UpdateItem(item, 100, 0)) << log().Dump();
    EXPECT_EQ(test::LinkText(ModuleRoot() + "/size"), "100");
}

}  // namespace
