#include "EngineTestUtil.h"
#include "engine/UTAnalyzeThread.h"
#include "model/UTDosTime.h"
#include "model/UTSysConfig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

namespace bfs {
namespace {

using test::BuildTree;
using test::Rows;
using test::RunAnalysis;
using test::TAnalysis;
using test::TRows;
using test::TSpec;
using Specs = std::vector<TSpec>;

constexpr int32_t LATE = static_cast<int32_t>(0x90000000u);  // a date from 2052: negative as int32

int32_t MirrorCode(int32_t Code) {
    switch (Code) {
        case ACTION_LEFT_ONLY:
            return ACTION_RIGHT_ONLY;
        case ACTION_RIGHT_ONLY:
            return ACTION_LEFT_ONLY;
        case ACTION_LEFT_NEWER:
            return ACTION_RIGHT_NEWER;
        case ACTION_RIGHT_NEWER:
            return ACTION_LEFT_NEWER;
        case ACTION_DELETED_LEFT:
            return ACTION_DELETED_RIGHT;
        case ACTION_DELETED_RIGHT:
            return ACTION_DELETED_LEFT;
        default:
            return Code;
    }
}

int32_t MirrorDirection(int32_t Direction) {
    return Direction == 0 ? 0 : 3 - Direction;
}

std::string MirrorText(std::string Text) {
    const std::pair<std::string, std::string> swaps[] = {
        {"left", "\x01"}, {"right", "left"}, {"\x01", "right"}, {"/L", "\x02"}, {"/R", "/L"}, {"\x02", "/R"}};
    for (const auto& [from, to] : swaps)
        for (std::size_t p = Text.find(from); p != std::string::npos; p = Text.find(from, p + to.size()))
            Text.replace(p, from.size(), to);
    return Text;
}

TSyncTask& TwoFolders(TSyncTask& Task) {
    Task.SyncID = "T";
    Task.LFolder->DeviceType = DEVICE_LOCAL;
    Task.LFolder->FolerAllName = "/L";
    Task.RFolder->DeviceType = DEVICE_LOCAL;
    Task.RFolder->FolerAllName = "/R";
    return Task;
}

// One whole analysis from four tree descriptions; saved states are used when both are non-empty.
TAnalysis Analyze(TSyncTask& Task, const Specs& LSaved, const Specs& LNow, const Specs& RSaved,
                  const Specs& RNow, const std::function<int32_t(const TFileTree&)>& Compare = {}) {
    // Listings have unnamed roots, as the back-ends make them; saved states name their folder.
    const TAnalysis apart = RunAnalysis(Task, BuildTree("", LNow), BuildTree("", RNow),
                                        BuildTree("/L", LSaved), BuildTree("/R", RSaved), {}, {}, Compare);
    // The back-ends load a state beside its listing, sharing the listing's nodes where it records
    // them: the plan must not change.
    const auto beside = [](const TFileTreeRef& Saved, const TFileTree& Listing) {
        std::string text;
        Saved->SaveToStream(text, Saved->Name);
        TFileTreeRef loaded = TFileTree::Create({}, nullptr);
        EXPECT_TRUE(loaded->LoadFromStream(text, nullptr, &Listing)) << text;
        return loaded;
    };
    const TFileTreeRef ln = BuildTree("", LNow), rn = BuildTree("", RNow);
    TAnalysis shared = RunAnalysis(Task, ln, rn, beside(BuildTree("/L", LSaved), *ln),
                                   beside(BuildTree("/R", RSaved), *rn), {}, {}, Compare);
    EXPECT_EQ(Rows(*shared.Result), Rows(*apart.Result));
    EXPECT_EQ(shared.Notes, apart.Notes);
    return shared;
}

bool HasNote(const TAnalysis& A, const std::string& Part) {
    return std::any_of(A.Notes.begin(), A.Notes.end(),
                       [&](const std::string& n) { return n.find(Part) != std::string::npos; });
}

// ---- One file "f" in every state on each side, with every direction and policy ----------------------

struct TFileCase {
    const char* What;
    int32_t LSaved, LNow, RSaved, RNow;  // dates of "f"; 0 = absent
    int32_t Direction, FoV, Del, Auto, Conflicts;
    int32_t Expected;
};

// clang-format off
constexpr TFileCase FILE_CASES[] = {
    {"unchanged", 10, 10, 10, 10, 0, 0, 0, 0, 0, 18},
    {"changed left", 10, 30, 10, 10, 0, 0, 0, 0, 0, 20},
    {"changed both, manual run", 10, 30, 10, 20, 0, 0, 0, 0, 0, 2},
    {"changed both, automatic, do not copy", 10, 30, 10, 20, 0, 0, 0, 1, 0, 7},
    {"changed both, automatic, newer wins", 10, 30, 10, 20, 0, 0, 0, 1, 1, 20},
    {"changed both, automatic, newer wins, unsigned dates", 10, LATE, 10, 20, 0, 0, 0, 1, 1, 20},
    {"changed both, automatic, newer wins, a tie goes right", 10, 20, 10, 20, 0, 0, 0, 1, 1, 19},
    {"changed both, automatic, one-way, newer wins", 10, 20, 10, 30, 1, 0, 0, 1, 1, 20},
    {"deleted left, unchanged right, deletions on", 10, 0, 10, 10, 0, 0, 1, 0, 0, 81},
    {"deleted left, unchanged right, deletions off", 10, 0, 10, 10, 0, 0, 0, 0, 0, 21},
    {"deleted left, changed right", 10, 0, 10, 20, 0, 0, 1, 0, 0, 2},
    {"deleted left, changed right, one-way", 10, 0, 10, 20, 1, 0, 1, 0, 0, 2},
    {"deleted both", 10, 0, 10, 0, 0, 0, 1, 0, 0, 18},
    {"deleted left, unknown right", 10, 0, 0, 0, 0, 0, 1, 0, 0, 18},
    {"new left", 0, 30, 0, 0, 0, 0, 0, 0, 0, 16},
    {"new both", 0, 30, 0, 30, 0, 0, 0, 0, 0, 2},
    {"kept left, new right", 10, 10, 0, 20, 0, 0, 0, 0, 0, 2},
    {"left to right: deleted on target is copied again", 10, 10, 10, 0, 1, 0, 0, 0, 0, 16},
    {"left to right: deleted on source stays", 10, 0, 10, 10, 1, 0, 1, 0, 0, 21},
    {"right to left: deleted on target is copied again", 10, 0, 10, 10, 2, 0, 0, 0, 0, 17},
    {"left to right forced: new on target", 0, 0, 0, 20, 1, 0, 0, 0, 0, 21},
    {"left to right verified: new on target", 0, 0, 0, 20, 1, 1, 0, 0, 0, 2},
    {"left to right forced: changed on target", 10, 10, 10, 20, 1, 0, 0, 0, 0, 20},
    {"left to right verified: changed on target", 10, 10, 10, 20, 1, 1, 0, 0, 0, 2},
    {"left to right verified: changed on source", 10, 20, 10, 10, 1, 1, 0, 0, 0, 20},
};
// clang-format on

std::optional<int32_t> CodeOfF(const TAnalysis& A) {
    for (const auto& row : Rows(*A.Result))
        if (row.Name == "f") return row.Code;
    return std::nullopt;
}

TEST(AnalyzeFileMatrix, EveryStateDirectionAndPolicy) {
    for (const TFileCase& c : FILE_CASES) {
        // Each case also runs with the sides swapped; an automatic run's tie goes right, so the
        // automatic cases run as written only.
        for (bool mirror : {false, true}) {
            if (mirror && c.Auto) continue;
            TSyncTask task;
            TwoFolders(task);
            task.SyncDirection = mirror ? MirrorDirection(c.Direction) : c.Direction;
            task.ForcedOrVerified = c.FoV;
            task.IsDeleteFile = c.Del;
            task.AutoRun = static_cast<uint8_t>(c.Auto);
            task.Conflicts = c.Conflicts;
            auto side = [](int32_t date) {
                Specs s{{"keep", 5}};  // keeps every tree non-empty, so the saved states are used
                if (date != 0) s.push_back({"f", date});
                return s;
            };
            const TAnalysis a =
                mirror ? Analyze(task, side(c.RSaved), side(c.RNow), side(c.LSaved), side(c.LNow))
                       : Analyze(task, side(c.LSaved), side(c.LNow), side(c.RSaved), side(c.RNow));
            EXPECT_EQ(CodeOfF(a), mirror ? MirrorCode(c.Expected) : c.Expected)
                << c.What << (mirror ? " (mirrored)" : "");
            EXPECT_TRUE(a.Notes.empty()) << c.What;
        }
    }
}

// ---- Pairs of one size that the contents decide --------------------------------------------------------

constexpr int32_t LOW = DOS_DATE_EARLIEST;  // every instant before 1980 lists as this date
constexpr int32_t HIGH = DOS_DATE_LATEST;   // every instant after 2107 lists as this date
constexpr int32_t LATER = 0x50000000;       // a date from 2020
constexpr int ASKED = 1, NOT_ASKED = 0;

struct TContentCase {
    const char* What;
    int32_t LSaved, LNow, RSaved, RNow;  // dates of "f" (size 5); 0 = absent; no saved states when
                                         // both saved dates are -1
    int64_t RSize;                       // the right file's size now
    int32_t Auto, Conflicts;
    int32_t Contents;  // what the comparison says: 0 equal, 1 different, -1 could not tell
    int32_t Expected;
    int Asked;
};

// clang-format off
constexpr TContentCase CONTENT_CASES[] = {
    // A run cut short after its copies: both sides changed, with the same contents.
    {"changed on both sides, equal", 10, 30, 10, 40, 5, 0, 0, 0, 18, ASKED},
    {"changed on both sides, different", 10, 30, 10, 40, 5, 0, 0, 1, 2, ASKED},
    {"changed on both sides, other sizes", 10, 30, 10, 40, 6, 0, 0, 0, 2, NOT_ASKED},
    {"new on both sides, equal", 0, 30, 0, 40, 5, 0, 0, 0, 18, ASKED},
    {"kept left, new right, equal", 10, 10, 0, 40, 5, 0, 0, 0, 18, ASKED},
    {"automatic, do not copy, equal", 10, 30, 10, 40, 5, 1, 0, 0, 18, ASKED},
    {"automatic, do not copy, different", 10, 30, 10, 40, 5, 1, 0, 1, 7, ASKED},
    {"automatic, newer wins, equal", 10, 30, 10, 40, 5, 1, 1, 0, 18, ASKED},
    {"automatic, newer wins, different", 10, 30, 10, 40, 5, 1, 1, 1, 19, ASKED},
    {"changed on one side: the dates decide", 10, 30, 10, 10, 5, 0, 0, 0, 20, NOT_ASKED},
    {"deleted left, changed right", 10, 0, 10, 40, 5, 0, 0, 0, 2, NOT_ASKED},
    // A date at an end of the range cannot show an edit.
    {"left at the lower end, equal", LOW, LOW, 10, 10, 5, 0, 0, 0, 18, ASKED},
    {"left at the lower end, different: only the left can have changed", LOW, LOW, 10, 10, 5, 0, 0, 1, 20, ASKED},
    {"left at the lower end, could not tell", LOW, LOW, 10, 10, 5, 0, 0, -1, 20, ASKED},
    {"both at the lower end, different", LOW, LOW, LOW, LOW, 5, 0, 0, 1, 2, ASKED},
    {"both at the lower end, equal", LOW, LOW, LOW, LOW, 5, 0, 0, 0, 18, ASKED},
    {"left at the lower end, right edited, different", LOW, LOW, 10, 30, 5, 0, 0, 1, 2, ASKED},
    {"left at the lower end, right edited to another size", LOW, LOW, 10, 30, 6, 0, 0, 1, 2, NOT_ASKED},
    {"left moved from the lower end", LOW, 30, 10, 10, 5, 0, 0, 0, 20, NOT_ASKED},
    {"left at the lower end, deleted right: the left may have changed", LOW, LOW, 10, 0, 5, 0, 0, 0, 2, NOT_ASKED},
    {"automatic, newer wins, left at the lower end, right edited", LOW, LOW, 10, LATER, 5, 1, 1, 1, 19, ASKED},
    {"automatic, newer wins, left at the upper end, right edited", HIGH, HIGH, 10, LATER, 5, 1, 1, 1, 20, ASKED},
    {"automatic, newer wins, both at the lower end: no tie-break", LOW, LOW, LOW, LOW, 5, 1, 1, 1, 7, ASKED},
    // Without saved states the newer file is copied (both sides then show one time); only a pair
    // that the dates cannot decide is left to the contents.
    {"no saved states, other dates", -1, 30, -1, 40, 5, 0, 0, 0, 19, NOT_ASKED},
    {"no saved states, one date", -1, 30, -1, 30, 5, 0, 0, 1, 18, NOT_ASKED},
    {"no saved states, one date at the lower end, different", -1, LOW, -1, LOW, 5, 0, 0, 1, 2, ASKED},
};
// clang-format on

// Which file is newer is told with each side's clock offset taken out; offsets within the tolerance
// count as none, and a side whose clock is unsettled leaves the pair a conflict. The dates of the
// result stay the sides' own.
TEST(AnalyzeTrees, NewerIsToldOnOneClock) {
    constexpr int64_t B = 1700000000, H = 3600;
    const auto at = [](int64_t Unix) { return UnixTimeToDosDate(Unix); };
    const TClockOffset none, fast5{true, false, 5 * H}, slow3{true, false, -3 * H}, minute{true, false, 60},
        unsettled{true, true, 5 * H};
    const struct {
        const char* What;
        bool Saved;  // both changed since saved states; else no saved states
        int64_t Left, Right;
        TClockOffset LeftClock, RightClock;
        int32_t Expected;
        const char* Note;  // a part of the one note on the clocks; empty: none
    } cases[] = {
        {"right 5 h fast: its later date is the older edit", true, B - H, B + 3 * H, none, fast5, 20,
         "right folder /R runs 5 h 0 min ahead of"},
        {"the same dates, no clock known", true, B - H, B + 3 * H, none, none, 19, ""},
        {"left 3 h slow: its earlier date is the newer edit", true, B - 4 * H, B - 2 * H, slow3, none, 20,
         "left folder /L runs 3 h 0 min behind"},
        {"an offset within the tolerance counts as none", true, B, B + 30, none, minute, 19, ""},
        {"an unsettled clock: a conflict", true, B - H, B + 3 * H, none, unsettled, 2,
         "/R gave server times"},
        {"no saved states, right 5 h fast", false, B - H, B + 3 * H, none, fast5, 20, "ahead of"},
        {"no saved states, one time on one clock", false, B, B + 5 * H, none, fast5, 2, "ahead of"},
        {"no saved states, an unsettled clock", false, B - H, B + 3 * H, unsettled, none, 2,
         "/L gave server"},
    };
    for (const auto& c : cases) {
        TSyncTask task;
        TwoFolders(task);
        task.AutoRun = 1;
        task.Conflicts = 1;
        const Specs saved = c.Saved ? Specs{{"f", at(B - 100 * H), 1}} : Specs{};
        const TAnalysis a = RunAnalysis(task, BuildTree("", {{"f", at(c.Left), 2}}),
                                        BuildTree("", {{"f", at(c.Right), 3}}), BuildTree("/L", saved),
                                        BuildTree("/R", saved), {}, {}, {}, {c.LeftClock, c.RightClock});
        ASSERT_EQ(a.Result->Children.size(), 1u) << c.What;
        const TFileTree& f = *a.Result->Children[0];
        EXPECT_EQ(f.Status, c.Expected) << c.What;
        EXPECT_TRUE(f.Data->FileDate == at(c.Left) && f.RightDate == at(c.Right)) << c.What;
        EXPECT_EQ(a.Notes.size(), *c.Note ? 1u : 0u) << c.What;
        EXPECT_TRUE(a.Failures.empty()) << c.What << ": a clock only informs";
        if (*c.Note) {
            EXPECT_TRUE(HasNote(a, c.Note)) << c.What;
        }
    }
}

TEST(AnalyzeContents, PairsOfOneSizeAreSettledByTheirContents) {
    for (const TContentCase& c : CONTENT_CASES) {
        for (bool mirror : {false, true}) {
            if (mirror && c.Auto) continue;  // an automatic run's tie goes right
            TSyncTask task;
            TwoFolders(task);
            task.AutoRun = static_cast<uint8_t>(c.Auto);
            task.Conflicts = c.Conflicts;
            const auto side = [](int32_t Date, int64_t Size) {
                Specs s{{"keep", 5}};
                if (Date > 0 || Date < -1) s.push_back({"f", Date, Size});
                return s;
            };
            Specs ls = side(c.LSaved, 5), ln = side(c.LNow, 5), rs = side(c.RSaved, 5),
                  rn = side(c.RNow, c.RSize);
            if (c.LSaved == -1) ls.clear(), rs.clear();
            int asked = 0;
            const auto compare = [&](const TFileTree& Node) {
                ++asked;
                EXPECT_EQ(Node.Name, "f");
                return c.Contents;
            };
            const TAnalysis a =
                mirror ? Analyze(task, rs, rn, ls, ln, compare) : Analyze(task, ls, ln, rs, rn, compare);
            const std::string what = std::string(c.What) + (mirror ? " (mirrored)" : "");
            EXPECT_EQ(CodeOfF(a), mirror ? MirrorCode(c.Expected) : c.Expected) << what;
            // Analyze runs the analysis twice: with the states apart and beside their listings.
            EXPECT_EQ(asked, 2 * c.Asked) << what;
        }
    }
}

// ---- Whole trees -------------------------------------------------------------------------------------

struct TTreeCase {
    const char* What;
    Specs LSaved, LNow, RSaved, RNow;
    int32_t Direction, FoV, Del;
    TRows Expected;
    const char* Note;        // part of one expected note; none: no notes
    bool NoteFails = false;  // the note fails the run (it is one of the analysis's Failures)
};

// clang-format off
const TTreeCase TREE_CASES[] = {
    {"no saved states: left empty, the right entries are copies",
     {}, {}, {}, {{"d/x"}, {"d/y"}, {"z"}}, 0, 0, 0,
     {{"/", "d", 17}, {"/d/", "x", 17}, {"/d/", "y", 17}, {"/", "z", 17}}, nullptr},
    {"a folder against a file of the same name: conflicts, nothing below the folder moves",
     {}, {{"x/a"}}, {}, {{"x"}}, 0, 0, 0,
     {{"/", "x", 2}, {"/x/", "a", 2}, {"/", "x", 2}}, "The left side holds a folder and the right side a file named /x"},
    {"a folder against a file, one level down, one-way",
     {}, {{"d/x/a"}, {"d/k"}}, {}, {{"d/x"}}, 1, 0, 0,
     {{"/", "d", -1}, {"/d/", "x", 2}, {"/d/x/", "a", 2}, {"/d/", "k", 16}, {"/d/", "x", 2}},
     "The left side holds a folder and the right side a file named /d/x"},
    {"a file and a folder of one name on one side (an object store): conflicts, nothing moves",
     {}, {{"x/a"}, {"x"}}, {}, {}, 0, 0, 0,
     {{"/", "x", 2}, {"/x/", "a", 2}, {"/", "x", 2}}, "A file and a folder on one side are both named /x"},
    {"names pair only when equal exactly",
     {}, {{"A.txt", 10}, {"b.txt", 10}}, {}, {{"a.txt", 10}, {"b.txt", 20}}, 0, 0, 0,
     {{"/", "A.txt", 16}, {"/", "a.txt", 17}, {"/", "b.txt", 19}}, nullptr},
    {"equal dates, different sizes: two different files",
     {}, {{"f", 10, 1}}, {}, {{"f", 10, 2}}, 0, 0, 0, {{"/", "f", 2}}, nullptr},
    {"dates compare unsigned",
     {}, {{"f", LATE}}, {}, {{"f", 100}}, 0, 0, 0, {{"/", "f", 20}}, nullptr},
    {"folder pairs hold the merge of their contents",
     {}, {{"d/e/"}, {"d/f", 10}}, {}, {{"d/e/"}, {"d/f", 10}, {"d/g", 10}}, 0, 0, 0,
     {{"/", "d", -1}, {"/d/", "e", -1}, {"/d/", "f", 18}, {"/d/", "g", 17}}, nullptr},
    {"left to right, forced copy",
     {}, {{"f", 10}, {"l"}}, {}, {{"f", 20}, {"r"}}, 1, 0, 0,
     {{"/", "f", 20}, {"/", "l", 16}, {"/", "r", 21}}, nullptr},
    {"left to right, verified",
     {}, {{"f", 10}, {"l"}}, {}, {{"f", 20}, {"r"}}, 1, 1, 0,
     {{"/", "f", 2}, {"/", "l", 16}, {"/", "r", 2}}, nullptr},
    {"a saved state missing on one side: plain comparison",
     {}, {{"keep"}}, {{"keep"}, {"gone"}}, {{"keep"}}, 0, 0, 1, {{"/", "keep", 18}}, nullptr},
    {"deleted folder with its contents",
     {{"keep"}, {"d/a"}, {"d/b"}}, {{"keep"}}, {{"keep"}, {"d/a"}, {"d/b"}}, {{"keep"}, {"d/a"}, {"d/b"}}, 0, 0, 1,
     {{"/", "d", 81}, {"/d/", "a", 81}, {"/d/", "b", 81}, {"/", "keep", 18}}, nullptr},
    {"deleted folder whose contents changed on the other side",
     {{"keep"}, {"d/a", 10}, {"d/b", 10}}, {{"keep"}},
     {{"keep"}, {"d/a", 10}, {"d/b", 10}}, {{"keep"}, {"d/a", 10}, {"d/b", 20}}, 0, 0, 1,
     {{"/", "d", 81}, {"/d/", "a", 81}, {"/d/", "b", 2}, {"/", "keep", 18}}, nullptr},
    {"a folder one side could not list: nothing below it is planned",
     {{"keep"}, {"d/a"}, {"d/b"}}, {{"keep"}, {"d/", 100, 0, 0, true}},
     {{"keep"}, {"d/a"}, {"d/b"}}, {{"keep"}, {"d/a"}, {"d/b"}, {"d/c"}}, 0, 0, 1,
     {{"/", "d", -1}, {"/d/", "a", 21}, {"/d/", "b", 21}, {"/d/", "c", 21}, {"/", "keep", 18}},
     "The left folder /d could not be listed completely (unreadable): nothing below it", true},
    {"a folder one side could not list, without saved states",
     {}, {{"d/", 100, 0, 0, true}, {"d/a", 10}}, {}, {{"d/a", 20}, {"d/c"}}, 0, 0, 1,
     {{"/", "d", -1}, {"/d/", "a", 21}, {"/d/", "c", 21}}, "The left folder /d could not", true},
    {"a one-sided folder one side could not list",
     {{"keep"}}, {{"keep"}, {"n/", 100, 0, 0, true}, {"n/a"}}, {{"keep"}}, {{"keep"}}, 0, 0, 1,
     {{"/", "n", 16}, {"/n/", "a", 21}, {"/", "keep", 18}}, "The left folder /n could not", true},
    {"an incomplete listing of the whole side plans nothing",
     {{"keep"}, {"a"}}, {{"/", 0, 0, 0, true}, {"keep"}}, {{"keep"}, {"a"}}, {{"keep"}, {"a"}, {"b"}}, 0, 0, 1,
     {{"/", "a", 21}, {"/", "b", 21}, {"/", "keep", 21}}, "The left folder /L could not be listed", true},
    {"an empty side whose one change is a conflict: the note holds nothing back",
     {{"a", 10}}, {}, {{"a", 10}}, {{"a", 20}}, 0, 0, 1, {{"/", "a", 2}}, "The left folder /L is empty"},
    {"an empty side against a full saved state deletes nothing",
     {{"keep"}, {"d/a"}}, {}, {{"keep"}, {"d/a"}}, {{"keep"}, {"d/a"}, {"n"}}, 0, 0, 1,
     {{"/", "d", 21}, {"/d/", "a", 21}, {"/", "keep", 21}, {"/", "n", 17}}, "The left folder /L is empty", true},
    {"one-sided folder with a deleted entry inside",
     {{"keep"}, {"x/a"}, {"x/b"}}, {{"keep"}, {"x/a"}}, {{"keep"}}, {{"keep"}}, 0, 0, 1,
     {{"/", "x", 16}, {"/x/", "a", 16}, {"/x/", "b", 18}, {"/", "keep", 18}}, nullptr},
    {"folder against file of the same name, with saved states",
     {{"keep"}, {"x/a"}}, {{"keep"}, {"x/a"}}, {{"keep"}, {"x/a"}}, {{"keep"}, {"x"}}, 0, 0, 1,
     {{"/", "x", 2}, {"/x/", "a", 2}, {"/", "keep", 18}, {"/", "x", 2}},
     "The left side holds a folder and the right side a file named /x"},
    {"a file replaced by a folder on one side and deleted on the other: no clash",
     {{"keep"}, {"x"}}, {{"keep"}, {"x/a"}}, {{"keep"}, {"x"}}, {{"keep"}}, 0, 0, 1,
     {{"/", "x", 16}, {"/x/", "a", 16}, {"/", "keep", 18}, {"/", "x", 18}}, nullptr},
    {"case twins with saved states",
     {{"keep"}, {"a.txt", 10}}, {{"keep"}, {"a.txt", 10}}, {{"keep"}, {"a.txt", 10}},
     {{"keep"}, {"A.txt", 10}}, 0, 0, 1,
     {{"/", "A.txt", 17}, {"/", "a.txt", 82}, {"/", "keep", 18}}, nullptr},
};
// clang-format on

TEST(AnalyzeTrees, WholeResultTrees) {
    for (const TTreeCase& c : TREE_CASES) {
        for (bool mirror : {false, true}) {
            TSyncTask task;
            TwoFolders(task);
            task.SyncDirection = mirror ? MirrorDirection(c.Direction) : c.Direction;
            task.ForcedOrVerified = c.FoV;
            task.IsDeleteFile = c.Del;
            const TAnalysis a = mirror ? Analyze(task, c.RSaved, c.RNow, c.LSaved, c.LNow)
                                       : Analyze(task, c.LSaved, c.LNow, c.RSaved, c.RNow);
            TRows expected = c.Expected;
            if (mirror)
                for (auto& row : expected) row.Code = MirrorCode(row.Code);
            const std::string what = std::string(c.What) + (mirror ? " (mirrored)" : "");
            EXPECT_EQ(Rows(*a.Result), expected) << what;
            EXPECT_EQ(a.ErrorText, "") << what;
            if (c.Note) {
                const std::string note = mirror ? MirrorText(c.Note) : c.Note;
                EXPECT_TRUE(HasNote(a, note)) << what << ": no note \"" << note << "\"";
                EXPECT_EQ(a.Notes.size(), 1u) << what;
                EXPECT_EQ(a.Failures, c.NoteFails ? a.Notes : std::vector<std::string>{}) << what;
            } else {
                EXPECT_TRUE(a.Notes.empty()) << what << ": " << (a.Notes.empty() ? "" : a.Notes[0]);
            }
        }
    }
}

TEST(AnalyzeTrees, SavedStatesMustBelongToTheTasksFolders) {
    struct {
        const char* LRoot;
        const char* TaskLeft;
        bool Used;
    } cases[] = {{"/L", "/L", true},
                 {"/L", "//L/", true},
                 {"/l", "/L", false},
                 {"/L", "/L ", false},
                 {"/Other", "/L", false}};
    for (const auto& c : cases) {
        TSyncTask task;
        TwoFolders(task);
        task.IsDeleteFile = 1;
        task.LFolder->FolerAllName = c.TaskLeft;
        const TAnalysis a =
            RunAnalysis(task, BuildTree("/L", {{"keep"}}), BuildTree("/R", {{"keep"}, {"f"}}),
                        BuildTree(c.LRoot, {{"keep"}, {"f"}}), BuildTree("/R", {{"keep"}, {"f"}}));
        // Used: "f" was deleted on the left. Not used: "f" is a plain right-only copy.
        EXPECT_EQ(CodeOfF(a), c.Used ? ACTION_DELETED_LEFT : ACTION_RIGHT_ONLY)
            << c.LRoot << " " << c.TaskLeft;
        EXPECT_EQ(HasNote(a, "other folders"), !c.Used);
    }
}

TEST(AnalyzeTrees, FilePairsMoveTheListedNodesWithTheRightSidesFields) {
    TSyncTask task;
    TwoFolders(task);
    auto left = BuildTree("/L", {{"d/f", 30, 7}});
    auto right = BuildTree("/R", {{"d/f", 20, 9, FILE_ATTRIBUTE_READONLY}});
    const TFileTree* leftFile = left->Children[0]->Children[0].get();
    const TAnalysis a = RunAnalysis(task, left, right, nullptr, nullptr);
    const TFileTree& folder = *a.Result->Children[0];
    EXPECT_NE(&folder, left->Children[0].get());  // a folder pair gets a node of its own
    EXPECT_EQ(folder.Data->FileDate, left->Children[0]->Data->FileDate);
    EXPECT_EQ(folder.Name, "d");
    ASSERT_EQ(folder.ChildCount, 1);
    const TFileTree& file = *folder.Children[0];
    EXPECT_EQ(&file, leftFile);
    EXPECT_EQ(file.Parent, &folder);  // the plan walks upward from a row
    EXPECT_EQ(file.Status, ACTION_LEFT_NEWER);
    EXPECT_EQ(file.RightDate, 20);
    EXPECT_EQ(file.RightSize, 9);
    EXPECT_EQ(file.RightAttr, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(file.LtoRCount + file.OverwriteCount + file.IncludedCount, 3);
}

TEST(AnalyzeTrees, FiltersMarkTheResult) {
    TSyncTask task;
    TwoFolders(task);
    task.ExcludeFilter = {"*.tmp"};
    const TAnalysis a = RunAnalysis(task, BuildTree("/L", {{"a.tmp"}, {"b.bak"}, {"c.txt"}}),
                                    BuildTree("/R", {}), nullptr, nullptr, {}, {"*.bak"});
    EXPECT_EQ(a.ExcludePattern, ".*.tmp|.*.bak");
    EXPECT_EQ(a.IncludePattern, "");
    EXPECT_EQ(test::Included(*a.Result), std::vector<std::string>{"/c.txt"});
    EXPECT_EQ(Rows(*a.Result), (TRows{{"/", "a.tmp", 16}, {"/", "b.bak", 16}, {"/", "c.txt", 16}}));
}

TEST(AnalyzeTrees, BadMaskGivesAnErrorAndNoPlan) {
    TSyncTask task;
    TwoFolders(task);
    task.IncludeFilter = {"a(b"};
    const TAnalysis a =
        RunAnalysis(task, BuildTree("/L", {{"x"}}), BuildTree("/R", {{"y"}}), nullptr, nullptr);
    EXPECT_NE(a.ErrorText.find("a(b"), std::string::npos) << a.ErrorText;
    EXPECT_TRUE(a.Result->Children.empty());
    EXPECT_EQ(a.Result->ChildCount, 0);
}

TEST(AnalyzeTrees, ProgramWideMasksAreCopiedWhenTheAnalysisIsMade) {
    TSyncTask task;
    SysConfig().ExcludeFilter = {"*.bak"};
    auto result = TFileTree::Create({}, nullptr);
    TAnalyzeThread thread(task, BuildTree("/L", {{"a.bak"}}), BuildTree("/R", {}), result, nullptr, nullptr);
    SysConfig().ExcludeFilter = {"*.other"};  // the options window may change the list meanwhile
    thread.Resume();
    thread.WaitFor();
    SysConfig().ExcludeFilter.clear();
    EXPECT_EQ(thread.ExcludePattern, ".*.bak");
    EXPECT_EQ(result->Children[0]->ExcludedCount, 1);
}

TEST(AnalyzeTrees, CancelledAnalysisStillFiltersWhatItHas) {
    TSyncTask task;
    TwoFolders(task);
    auto result = TFileTree::Create({}, nullptr);
    TAnalyzeThread thread(task, BuildTree("/L", {{"a"}}), BuildTree("/R", {{"b"}}), result, nullptr, nullptr);
    thread.Terminate();
    thread.Resume();
    thread.WaitFor();
    EXPECT_TRUE(result->Children.empty());
    EXPECT_EQ(thread.ErrorText, "");
    EXPECT_TRUE(std::any_of(thread.Notes.begin(), thread.Notes.end(),
                            [](const std::string& n) { return n.find("cancelled") != std::string::npos; }));
}

// A chain of folders far deeper than any stack would allow if a walk recursed.
TFileTreeRef Chain(int Depth, int32_t LeafDate) {
    TFileTreeRef root = TFileTree::Create("/C", nullptr);
    TFileTree* node = root.get();
    for (int i = 0; i < Depth; ++i) {
        auto data = MakeRef<TFileAttri>();
        data->Name = "d";
        data->Path = std::string("/");
        data->IsFolder = 1;
        data->Size = -1;
        node = node->AddChild("d", data);
    }
    auto data = MakeRef<TFileAttri>();
    data->Name = "f";
    data->Path = std::string("/");
    data->FileDate = LeafDate;
    node->AddChild("f", data);
    return root;
}

int32_t LeafStatus(const TFileTree& Root) {
    const TFileTree* node = &Root;
    while (node->ChildCount > 0) node = node->Children[0].get();
    return node->Status;
}

TEST(AnalyzeTrees, DeepTreesDoNotRecurse) {
    constexpr int DEPTH = 200000;
    TSyncTask task;
    task.LFolder->FolerAllName = "/C";
    task.RFolder->FolerAllName = "/C";
    task.IsDeleteFile = 1;
    task.ExcludeEmtpyFolder = 1;
    // Changed on the left since the saved state, deleted on the right (which keeps a sibling).
    auto right = BuildTree("/C", {{"other"}});
    const TAnalysis a = RunAnalysis(task, Chain(DEPTH, 20), right, Chain(DEPTH, 10), Chain(DEPTH, 10));
    EXPECT_EQ(a.ErrorText, "");
    EXPECT_EQ(LeafStatus(*a.Result), ACTION_CONFLICT);

    const TAnalysis plain = RunAnalysis(task, Chain(DEPTH, 20), Chain(DEPTH, 10), nullptr, nullptr);
    EXPECT_EQ(LeafStatus(*plain.Result), ACTION_LEFT_NEWER);
}

}  // namespace
}  // namespace bfs
