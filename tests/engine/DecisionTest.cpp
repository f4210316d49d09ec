#include "engine/UTAnalyzeThread.h"
#include "engine/UTDecision.h"
#include "engine/UTSyncTask.h"

#include <gtest/gtest.h>

namespace bfs {
namespace {

constexpr int32_t CODES[5] = {-1, 6, 7, 8, 18};

// Every cell, rows the left change code, columns the right one, in the order of CODES.
// clang-format off
constexpr int32_t FILE_CELLS[5][5] = {
    /* -1 */ {2, 2, 2, 2, 2},
    /*  6 */ {2, 2, 2, 2, 2},
    /*  7 */ {2, 2, 2, 2, 20},
    /*  8 */ {2, 2, 2, 18, 81},
    /* 18 */ {2, 2, 19, 82, 18},
};
// clang-format on
// With IsFolder 1 a folder without a code of its own counts as unchanged, and a folder made on both
// sides is one folder.
// clang-format off
constexpr int32_t FOLDER_CELLS[5][5] = {
    /* -1 */ {18, 2, 19, 82, 18},
    /*  6 */ {2, 18, 2, 2, 2},
    /*  7 */ {20, 2, 2, 2, 20},
    /*  8 */ {81, 2, 2, 18, 81},
    /* 18 */ {18, 2, 19, 82, 18},
};
// clang-format on

TEST(DecideTwoWayTest, EveryCell) {
    for (int l = 0; l < 5; ++l) {
        for (int r = 0; r < 5; ++r) {
            SCOPED_TRACE(testing::Message() << "L=" << CODES[l] << " R=" << CODES[r]);
            EXPECT_EQ(TAnalyzeThread::DecideTwoWay(CODES[l], CODES[r], 0), FILE_CELLS[l][r]);
            EXPECT_EQ(TAnalyzeThread::DecideTwoWay(CODES[l], CODES[r], 1), FOLDER_CELLS[l][r]);
        }
    }
    // Codes that no change tree holds decide nothing.
    EXPECT_EQ(TAnalyzeThread::DecideTwoWay(16, 18, 0), ACTION_CONFLICT);
    EXPECT_EQ(TAnalyzeThread::DecideTwoWay(18, 21, 1), ACTION_CONFLICT);
}

// The table is usable at compile time.
static_assert(DecideTwoWayCode(ACTION_DELETED, ACTION_SAME, 0) == ACTION_DELETED_LEFT);
static_assert(MapActionCode(1, 0, 0, ACTION_DELETED_RIGHT) == ACTION_LEFT_ONLY);

struct TMapCase {
    int32_t Code;
    // two-way with IsDeleteFile 0 and 1; left to right forced, verified; right to left forced, verified
    int32_t Out[6];
};

// clang-format off
constexpr TMapCase MAP_CASES[] = {
    {16, {16, 16, 16, 16, 21, 2}},
    {17, {17, 17, 21, 2, 17, 17}},
    {19, {19, 19, 20, 2, 19, 19}},
    {20, {20, 20, 20, 20, 19, 2}},
    {81, {21, 81, 21, 21, 17, 17}},
    {82, {21, 82, 16, 16, 21, 21}},
    // Codes outside the table pass unchanged.
    {-1, {-1, -1, -1, -1, -1, -1}},
    {2, {2, 2, 2, 2, 2, 2}},
    {6, {6, 6, 6, 6, 6, 6}},
    {7, {7, 7, 7, 7, 7, 7}},
    {8, {8, 8, 8, 8, 8, 8}},
    {18, {18, 18, 18, 18, 18, 18}},
    {21, {21, 21, 21, 21, 21, 21}},
};
// clang-format on

bool PassesUnchanged(const TMapCase& c) {
    for (int32_t out : c.Out)
        if (out != c.Code) return false;
    return true;
}

TEST(MapActionTest, EveryCodeDirectionPolicyAndDeleteSwitch) {
    TSyncTask task;
    for (const TMapCase& c : MAP_CASES) {
        for (int32_t direction : {0, 1, 2, 3, -1}) {
            for (int32_t fov : {0, 1, -1}) {
                for (int32_t del : {0, 1, 2}) {
                    task.SyncDirection = direction;
                    task.ForcedOrVerified = fov;
                    task.IsDeleteFile = del;
                    int32_t expected;
                    if (direction == 0)
                        expected = c.Out[del == 1 ? 1 : 0];  // only 1 switches deletions on
                    else if (direction == 1)
                        expected = c.Out[fov == 0 ? 2 : 3];
                    else if (direction == 2)
                        expected = c.Out[fov == 0 ? 4 : 5];
                    else  // a direction the program does not know does nothing with table codes
                        expected = PassesUnchanged(c) ? c.Code : ACTION_NOT_COPY;
                    SCOPED_TRACE(testing::Message() << "code " << c.Code << " dir " << direction << " fov "
                                                    << fov << " del " << del);
                    EXPECT_EQ(TAnalyzeThread::MapAction(task, c.Code), expected);
                }
            }
        }
    }
}

}  // namespace
}  // namespace bfs
