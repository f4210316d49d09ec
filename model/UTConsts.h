#pragma once

#include <cstdint>

namespace bfs {

// Action codes of the plan, one per result-tree node (TFileTree::Status).
constexpr int32_t ACTION_NONE = -1;           // a folder present on both sides whose code was not decided
constexpr int32_t ACTION_CONFLICT = 2;        // both sides changed, or a verified one-way task refuses
constexpr int32_t ACTION_ERROR = 3;           // the row's operation failed
constexpr int32_t ACTION_INCLUDED = 4;        // filter state: passes masks, limits and attribute options
constexpr int32_t ACTION_EXCLUDED = 5;        // filter state: excluded
constexpr int32_t ACTION_NEW = 6;             // change code: present now, absent from the saved state
constexpr int32_t ACTION_CHANGED = 7;         // change code: file date differs from the saved state
constexpr int32_t ACTION_DELETED = 8;         // change code: in the saved state, absent now
constexpr int32_t ACTION_LEFT_ONLY = 16;      // copy left to right
constexpr int32_t ACTION_RIGHT_ONLY = 17;     // copy right to left
constexpr int32_t ACTION_SAME = 18;           // equal; also "done" after a sync
constexpr int32_t ACTION_RIGHT_NEWER = 19;    // copy right to left over an older left file
constexpr int32_t ACTION_LEFT_NEWER = 20;     // copy left to right over an older right file
constexpr int32_t ACTION_NOT_COPY = 21;       // skipped
constexpr int32_t ACTION_DELETED_LEFT = 81;   // deleted on the left: delete on the right
constexpr int32_t ACTION_DELETED_RIGHT = 82;  // deleted on the right: delete on the left

// Message numbers between workers and windows. The Qt side posts a QEvent of the same type.
constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_UPDATEPROCESS = WM_USER + 100;  // 1124: one progress step
constexpr uint32_t WM_COPYPROCESS = WM_USER + 300;    // 1324: the shared status text changed
constexpr uint32_t WM_LTOR = 1224;
constexpr uint32_t WM_INCLUED = 1225;
constexpr uint32_t WM_EXCLUDE = 1226;
constexpr uint32_t WM_DELETE = 1227;
constexpr uint32_t WM_CONFLICT = 1228;
constexpr uint32_t WM_NEW = 1229;
constexpr uint32_t WM_RTOL = 1230;
constexpr uint32_t WM_OVERWRIDE = 1231;
constexpr uint32_t WM_ERROR = 1232;
constexpr uint32_t WM_ALL = 1233;
constexpr uint32_t WM_MODIFY = 1234;
constexpr uint32_t WM_SHOWLOG = 1254;
constexpr uint32_t WM_TASKFINISHED = 1256;
constexpr uint32_t WM_ANAL_SYNC = 1257;
constexpr uint32_t WM_JOB_OPTION = 1258;
constexpr uint32_t WM_ANAL_JOB = 1259;
constexpr uint32_t WM_NOT_COPY = 1260;
constexpr uint32_t WM_MOVE_LTOR = 1261;
constexpr uint32_t WM_MOVE_RTOL = 1262;
constexpr uint32_t WM_TASKCHANGED = 1264;
constexpr uint32_t WM_RESTORE_WIN = 1265;
constexpr uint32_t WM_ENABLEADDTASK = 1266;
constexpr uint32_t WM_SHOWTIP = 1267;
constexpr uint32_t WM_TRAYICON = 1524;

// The marker folder at every synchronised root, and the backup folder inside it.
inline constexpr const char* MARKER_FOLDER = "__BramlowFileSync__";
inline constexpr const char* BACKUP_FOLDER = "__saved__";
// The program's name: the single-instance name, window captions, the application-data subfolder.
inline constexpr const char* PROGRAM_NAME = "Bramlow File Sync";

}  // namespace bfs
