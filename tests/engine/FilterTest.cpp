#include "EngineTestUtil.h"
#include "engine/UTFilter.h"
#include "engine/UTSyncTask.h"

#include <gtest/gtest.h>

namespace bfs {
namespace {

using test::BuildTree;
using test::Included;
using test::TSpec;
using Paths = std::vector<std::string>;

// The entries below Root that the task's filter (plus the global masks) lets through.
Paths Filtered(const TSyncTask& Task, const std::vector<TSpec>& Specs,
               const std::vector<std::string>& GInc = {}, const std::vector<std::string>& GExc = {}) {
    TFileFilter filter(Task, GInc, GExc);
    EXPECT_TRUE(filter.Ok()) << filter.ErrorText();
    auto tree = BuildTree("/root", Specs);
    filter.ApplyFilters(*tree);
    return Included(*tree);
}

TEST(FilterTest, PatternsJoinTaskMasksThenGlobalOnes) {
    EXPECT_EQ(TFileFilter::BuildPattern({"*.tmp"}, {"*.bak"}), ".*.tmp|.*.bak");
    EXPECT_EQ(TFileFilter::BuildPattern({"\\docs\\*"}, {}), "\\\\docs\\\\.*");
    EXPECT_EQ(TFileFilter::BuildPattern({"", "  ", "a"}, {"\t", "b"}), "a|b");
    EXPECT_EQ(TFileFilter::BuildPattern({" "}, {}), "");

    TSyncTask task;
    task.ExcludeFilter = {"*.tmp"};
    TFileFilter filter(task, {"Doc"}, {"*.bak"});
    EXPECT_EQ(filter.ExcludePattern(), ".*.tmp|.*.bak");
    EXPECT_EQ(filter.IncludePattern(), "Doc");
}

TEST(FilterTest, MasksSearchCaseSensitivelyAnywhereInTheBackslashPath) {
    TSyncTask task;
    task.IncludeFilter = {"Doc"};
    EXPECT_EQ(Filtered(task, {{"Docs/a.txt"}, {"docs/a.txt"}, {"MyDoc.txt"}, {"other.txt"}}),
              (Paths{"/Docs", "/Docs/a.txt", "/MyDoc.txt"}));

    task.IncludeFilter = {"\\docs\\"};  // stored masks keep their backslash meaning
    EXPECT_EQ(Filtered(task, {{"docs/a.txt"}, {"mydocs/b.txt"}}), (Paths{"/docs/a.txt"}));

    task.IncludeFilter = {"a.c"};  // the dot keeps its pattern meaning
    EXPECT_EQ(Filtered(task, {{"abc"}, {"ac"}}), (Paths{"/abc"}));

    task.IncludeFilter = {"*.txt"};
    task.ExcludeFilter = {"secret"};
    EXPECT_EQ(Filtered(task, {{"a.txt"}, {"secret.txt"}, {"b.dat"}}), (Paths{"/a.txt"}));

    task.IncludeFilter = {};
    EXPECT_EQ(Filtered(task, {{"a.txt"}, {"secret.txt"}}, {}, {"*.txt"}), Paths{});
    EXPECT_EQ(Filtered(task, {{"a.txt"}, {"secret.txt"}}, {"secret"}, {}), Paths{});
    task.ExcludeFilter = {};
    EXPECT_EQ(Filtered(task, {{"a.txt"}, {"b"}}), (Paths{"/a.txt", "/b"}));
}

TEST(FilterTest, NamesThatAreNotUtf8AreMatchedNotRejected) {
    TSyncTask task;
    task.ExcludeFilter = {"*.tmp", "é"};
    EXPECT_EQ(Filtered(task, {{"\xff\xfe.tmp"}, {"\xff.dat"}, {"caf\xc3\xa9"}}), (Paths{"/\xff.dat"}));
}

TEST(FilterTest, FolderExcludedByMaskKeepsItsChildrensStates) {
    TSyncTask task;
    task.ExcludeFilter = {"\\cache$"};
    EXPECT_EQ(Filtered(task, {{"cache/a.txt"}, {"cache/sub/"}, {"x.txt"}}),
              (Paths{"/cache/sub", "/cache/a.txt", "/x.txt"}));
}

TEST(FilterTest, LimitsApplyToFilesOnlyAndCompareDatesUnsigned) {
    // Dates from 2044 on are negative as int32: one from 2052, and 2050-01-01.
    const int32_t late = static_cast<int32_t>(0x90000000u);
    constexpr int32_t y2050 = static_cast<int32_t>(0x8C210000u);
    struct {
        const char* What;
        void (*Set)(TSyncTask&);
        Paths Expected;
    } cases[] = {
        {"no limits", [](TSyncTask&) {}, {"/dir", "/big", "/late", "/mid", "/old"}},
        {"include dates",
         [](TSyncTask& t) { t.IncludeFileTimeMin = 50, t.IncludeFileTimeMax = 150; },
         {"/dir", "/big", "/mid"}},
        {"include dates, min only",
         [](TSyncTask& t) { t.IncludeFileTimeMin = 50; },
         {"/dir", "/big", "/late", "/mid"}},
        {"include dates from 2050", [](TSyncTask& t) { t.IncludeFileTimeMin = y2050; }, {"/dir", "/late"}},
        {"include dates up to 2050",
         [](TSyncTask& t) { t.IncludeFileTimeMax = y2050; },
         {"/dir", "/big", "/mid", "/old"}},
        {"include sizes",
         [](TSyncTask& t) { t.IncludeFileSizeMin = 1, t.IncludeFileSizeMax = 100; },
         {"/dir", "/late", "/mid", "/old"}},
        {"include size max 0", [](TSyncTask& t) { t.IncludeFileSizeMax = 0; }, {"/dir"}},
        // Exclude ranges only let entries through; without masks nothing is excluded to begin with.
        {"exclude dates alone",
         [](TSyncTask& t) { t.ExcludeFileTimeMin = 50; },
         {"/dir", "/big", "/late", "/mid", "/old"}},
    };
    for (const auto& c : cases) {
        TSyncTask task;
        c.Set(task);
        EXPECT_EQ(
            Filtered(task,
                     {{"dir/", 1}, {"old", 10, 5}, {"mid", 100, 50}, {"late", late, 50}, {"big", 100, 1000}}),
            c.Expected)
            << c.What;
    }
}

TEST(FilterTest, ExcludeRangeLetsThroughWhatTheMasksExcluded) {
    TSyncTask task;
    task.IncludeFilter = {"*.txt"};
    task.ExcludeFileSizeMin = 100;  // files below 100 bytes lie outside the exclude range
    EXPECT_EQ(Filtered(task, {{"small.dat", 1, 10}, {"large.dat", 1, 500}, {"a.txt", 1, 500}}),
              (Paths{"/a.txt", "/small.dat"}));

    // An entry let through still has to meet the include ranges.
    task.IncludeFileTimeMin = 50;
    EXPECT_EQ(Filtered(task, {{"small.dat", 1, 10}, {"new.dat", 60, 10}}), (Paths{"/new.dat"}));

    // An exclude range that ends in 2050 lets a file from 2052 through.
    TSyncTask dated;
    dated.IncludeFilter = {"*.txt"};
    dated.ExcludeFileTimeMax = static_cast<int32_t>(0x8C210000u);
    EXPECT_EQ(Filtered(dated, {{"a.dat", 100}, {"b.dat", static_cast<int32_t>(0x90000000u)}}),
              (Paths{"/b.dat"}));
}

TEST(FilterTest, AttributeOptionsOnlyExclude) {
    TSyncTask task;
    task.ExcludeEmtpyFolder = 1;
    task.ExcludeHiddenFile = 1;
    task.ExcludeSystemFile = 1;
    EXPECT_EQ(Filtered(task, {{"empty/"},
                              {"full/a"},
                              {".hid/", 1, 0, FILE_ATTRIBUTE_HIDDEN},
                              {".hid/x"},
                              {"h", 1, 0, FILE_ATTRIBUTE_HIDDEN},
                              {"s", 1, 0, FILE_ATTRIBUTE_SYSTEM},
                              {"r", 1, 0, FILE_ATTRIBUTE_READONLY}}),
              (Paths{"/.hid/x", "/full", "/full/a", "/r"}));
}

TEST(FilterTest, FilterStateKeepsOrClearsActionCounters) {
    TSyncTask task;
    task.ExcludeFilter = {"b"};
    auto tree = BuildTree("/r", {{"a"}, {"b"}});
    for (const auto& c : tree->Children) c->SetStatus(ACTION_LEFT_ONLY);
    TFileFilter(task, {}, {}).ApplyFilters(*tree);
    const TFileTree& a = *tree->Children[0];
    const TFileTree& b = *tree->Children[1];
    EXPECT_EQ(a.IncludedCount + a.LtoRCount + a.NewCount, 3);
    EXPECT_EQ(b.ExcludedCount, 1);
    EXPECT_EQ(b.IncludedCount + b.LtoRCount + b.NewCount, 0);
    EXPECT_EQ(b.Status, ACTION_LEFT_ONLY);

    EXPECT_EQ(TFileFilter(task, {}, {}).FilterNode(*tree), ACTION_EXCLUDED);  // a root has no entry
}

TEST(FilterTest, BadMaskIsNamedAndBlankMasksAreDropped) {
    TSyncTask task;
    task.ExcludeFilter = {"ok", "a(b"};
    TFileFilter bad(task, {}, {});
    EXPECT_FALSE(bad.Ok());
    EXPECT_NE(bad.ErrorText().find("\"a(b\""), std::string::npos) << bad.ErrorText();
    EXPECT_NE(bad.ErrorText().find("parenthesis"), std::string::npos) << bad.ErrorText();

    TFileFilter globalBad(TSyncTask(), {"[x"}, {});
    EXPECT_NE(globalBad.ErrorText().find("include mask \"[x\""), std::string::npos) << globalBad.ErrorText();

    // Masks that are bad only one by one still name the mask, though they would join into a valid pattern.
    task.ExcludeFilter = {"(a", "b)"};
    EXPECT_NE(TFileFilter(task, {}, {}).ErrorText().find("\"(a\""), std::string::npos);

    task.ExcludeFilter = {"", "   "};
    EXPECT_EQ(Filtered(task, {{"a"}, {"b"}}), (Paths{"/a", "/b"}));
}

// A long mask list is more than one compiled pattern holds: it still filters as one joined pattern,
// masks of either list matching wherever they stand in it.
TEST(FilterTest, TensOfThousandsOfMasksFilterLikeOne) {
    TSyncTask task;
    for (int i = 0; i < 40000; ++i) task.ExcludeFilter.push_back("\\skip" + std::to_string(i) + "\\*");
    task.IncludeFilter = {"*.txt"};
    EXPECT_EQ(
        Filtered(task, {{"skip0/a.txt"}, {"skip21000/b.txt"}, {"skip39999/c.txt"}, {"keep/d.txt"}, {"e.dat"}},
                 {}, {"last"}),
        (Paths{"/keep/d.txt"}));
    task.IncludeFilter = {};
    EXPECT_EQ(Filtered(task, {{"a"}, {"lastly"}, {"skip7/x"}}, {}, {"last"}), (Paths{"/skip7", "/a"}));
}

}  // namespace
}  // namespace bfs
