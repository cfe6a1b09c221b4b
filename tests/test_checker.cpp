// The index checker as a library, for what cmtool does not show: its
// progress calls, the order of its entries, its errors. Every kind of fault,
// and repair, are found through cmtool in test_cmtool.cpp.
#include "tests/TestSupport.h"

namespace {

namespace check = cm::check;
namespace layout = cm::layout;

class Checker : public test::CacheTest {};

// Entries in numeric order, not text order; a few examples and the count of
// the rest; progress every 1024 names. No module, or no initialised manager
// to repair with: an error that says so.
TEST_F(Checker, ALargeIndexReportsProgressAndCountsBeyondItsExamples)
{
    Manager();
    const std::string entryDir = layout::EntryDir(T(), 1700000001ull << 8);
    for (uint32_t i = 1; i <= 1500; ++i)
        test::MakeLink(layout::EntryTarget(0, 1, Item("gone" + std::to_string(i))), layout::EntryPath(entryDir, i));
    check::CheckOptions options;
    options.moduleRoot = ModuleRoot();
    options.maxExamples = 3;
    std::vector<uint64_t> calls;
    options.progress = [&calls](uint64_t names) { calls.push_back(names); };
    check::CheckReport report;
    std::string error;
    ASSERT_TRUE(check::CheckIndex(options, report, error)) << error;
    ASSERT_EQ(report.entries.size(), 1500u);
    EXPECT_EQ(report.entries[9].number, 10u);
    EXPECT_NE(report.Format().find("... and 1497 more"), std::string::npos) << report.Format();
    EXPECT_EQ(calls.at(0), 1024u);

    options.moduleRoot = dir() + "/CM/9";
    EXPECT_FALSE(check::CheckIndex(options, report, error));
    EXPECT_NE(error.find("no module at"), std::string::npos) << error;
    CacheManagerImpl never;
    check::RepairReport repair;
    EXPECT_FALSE(check::RepairIndex(never, options, false, repair, error));
    EXPECT_EQ(error, "the cache manager is not initialised");
}

}  // namespace
