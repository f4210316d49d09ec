#pragma once

#include "model/UTConsts.h"

#include <cstdint>

// The two decision tables of the analysis, as data. TAnalyzeThread::DecideTwoWay and
// TAnalyzeThread::MapAction look them up; nothing else decides an action.

namespace bfs {

// The change codes of one side, in the order of the rows and columns of TWO_WAY_TABLE.
inline constexpr int32_t CHANGE_CODES[4] = {ACTION_NEW, ACTION_CHANGED, ACTION_DELETED, ACTION_SAME};

// What to do with an entry given its change on the left (row) and on the right (column). An entry
// changed or created on one side and deleted on the other is a conflict either way round: carrying
// the deletion over would lose the other side's change.
// clang-format off
inline constexpr int32_t TWO_WAY_TABLE[4][4] = {
    // L \ R      new              changed             deleted               same
    /* new */     {ACTION_CONFLICT, ACTION_CONFLICT,    ACTION_CONFLICT,      ACTION_CONFLICT},
    /* changed */ {ACTION_CONFLICT, ACTION_CONFLICT,    ACTION_CONFLICT,      ACTION_LEFT_NEWER},
    /* deleted */ {ACTION_CONFLICT, ACTION_CONFLICT,    ACTION_SAME,          ACTION_DELETED_LEFT},
    /* same */    {ACTION_CONFLICT, ACTION_RIGHT_NEWER, ACTION_DELETED_RIGHT, ACTION_SAME},
};
// clang-format on

// Index of a change code in CHANGE_CODES, or -1.
constexpr int ChangeCodeIndex(int32_t Code) {
    for (int i = 0; i < 4; ++i)
        if (CHANGE_CODES[i] == Code) return i;
    return -1;
}

// Two-way decision. With IsFolder 1 a folder without a change code of its own (-1: present on both
// sides) counts as unchanged. A code outside the change codes (which the change trees never hold)
// gives a conflict, so nothing is done with such an entry.
constexpr int32_t DecideTwoWayCode(int32_t LeftCode, int32_t RightCode, int32_t IsFolder) {
    if (IsFolder == 1) {
        if (LeftCode == ACTION_NONE) LeftCode = ACTION_SAME;
        if (RightCode == ACTION_NONE) RightCode = ACTION_SAME;
    }
    // A folder made on both sides is one folder: what lies in it is decided entry by entry.
    if (IsFolder == 1 && LeftCode == ACTION_NEW && RightCode == ACTION_NEW) return ACTION_SAME;
    const int l = ChangeCodeIndex(LeftCode), r = ChangeCodeIndex(RightCode);
    if (l < 0 || r < 0) return ACTION_CONFLICT;
    return TWO_WAY_TABLE[l][r];
}

// Columns of MAP_ACTION_TABLE: the task's direction, policy and deletion switch.
enum TMapColumn : int {
    MAP_TWO_WAY_KEEP = 0,       // two-way, IsDeleteFile not 1: deletions are not carried over
    MAP_TWO_WAY_DELETE = 1,     // two-way, IsDeleteFile 1
    MAP_LTOR_FORCED = 2,        // left to right, forced copy (ForcedOrVerified 0)
    MAP_LTOR_VERIFIED = 3,      // left to right, verified (ForcedOrVerified not 0)
    MAP_RTOL_FORCED = 4,        // right to left, forced copy
    MAP_RTOL_VERIFIED = 5,      // right to left, verified
    MAP_UNKNOWN_DIRECTION = 6,  // a direction the program does not know: nothing is done
};

struct TMapActionRow {
    int32_t Code;
    int32_t Out[7];
};

// A one-way task never copies toward its source: forced copy skips target-only entries and
// overwrites a newer target; verified turns both into conflicts. A deletion on the source is not
// carried to the target, an entry deleted on the target is copied again from the source.
// clang-format off
inline constexpr TMapActionRow MAP_ACTION_TABLE[] = {
    // code                  two-way keep         two-way delete        L>R forced          L>R verified
    //                       R>L forced           R>L verified          unknown direction
    {ACTION_LEFT_ONLY,      {ACTION_LEFT_ONLY,    ACTION_LEFT_ONLY,     ACTION_LEFT_ONLY,   ACTION_LEFT_ONLY,
                             ACTION_NOT_COPY,     ACTION_CONFLICT,      ACTION_NOT_COPY}},
    {ACTION_RIGHT_ONLY,     {ACTION_RIGHT_ONLY,   ACTION_RIGHT_ONLY,    ACTION_NOT_COPY,    ACTION_CONFLICT,
                             ACTION_RIGHT_ONLY,   ACTION_RIGHT_ONLY,    ACTION_NOT_COPY}},
    {ACTION_RIGHT_NEWER,    {ACTION_RIGHT_NEWER,  ACTION_RIGHT_NEWER,   ACTION_LEFT_NEWER,  ACTION_CONFLICT,
                             ACTION_RIGHT_NEWER,  ACTION_RIGHT_NEWER,   ACTION_NOT_COPY}},
    {ACTION_LEFT_NEWER,     {ACTION_LEFT_NEWER,   ACTION_LEFT_NEWER,    ACTION_LEFT_NEWER,  ACTION_LEFT_NEWER,
                             ACTION_RIGHT_NEWER,  ACTION_CONFLICT,      ACTION_NOT_COPY}},
    {ACTION_DELETED_LEFT,   {ACTION_NOT_COPY,     ACTION_DELETED_LEFT,  ACTION_NOT_COPY,    ACTION_NOT_COPY,
                             ACTION_RIGHT_ONLY,   ACTION_RIGHT_ONLY,    ACTION_NOT_COPY}},
    {ACTION_DELETED_RIGHT,  {ACTION_NOT_COPY,     ACTION_DELETED_RIGHT, ACTION_LEFT_ONLY,   ACTION_LEFT_ONLY,
                             ACTION_NOT_COPY,     ACTION_NOT_COPY,      ACTION_NOT_COPY}},
};
// clang-format on

constexpr TMapColumn MapColumn(int32_t SyncDirection, int32_t ForcedOrVerified, int32_t IsDeleteFile) {
    switch (SyncDirection) {
        case 0:
            return IsDeleteFile == 1 ? MAP_TWO_WAY_DELETE : MAP_TWO_WAY_KEEP;
        case 1:
            return ForcedOrVerified == 0 ? MAP_LTOR_FORCED : MAP_LTOR_VERIFIED;
        case 2:
            return ForcedOrVerified == 0 ? MAP_RTOL_FORCED : MAP_RTOL_VERIFIED;
        default:
            return MAP_UNKNOWN_DIRECTION;
    }
}

// The code an action becomes under the task's direction and policy; codes not in the table pass.
constexpr int32_t MapActionCode(int32_t SyncDirection, int32_t ForcedOrVerified, int32_t IsDeleteFile,
                                int32_t Code) {
    for (const TMapActionRow& row : MAP_ACTION_TABLE)
        if (row.Code == Code) return row.Out[MapColumn(SyncDirection, ForcedOrVerified, IsDeleteFile)];
    return Code;
}

}  // namespace bfs
