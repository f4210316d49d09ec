// The task log: analysis and run records appended to one text file per task.

#include "engine/UTSyncTask.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "model/UTSysConfig.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"

#include <ctime>
#include <iterator>
#include <system_error>

namespace bfs {

namespace {

constexpr std::string_view CRLF = "\r\n";
constexpr std::string_view LOG_CONTEXT = "Task log not written";

// The arrow between the two addresses of the header, by SyncDirection.
constexpr std::string_view DIRECTION_ARROWS[] = {" <-> ", " -> ", " <- "};

std::string_view DirectionArrow(int32_t SyncDirection) {
    if (SyncDirection < 0 || SyncDirection >= static_cast<int32_t>(std::size(DIRECTION_ARROWS))) return {};
    return DIRECTION_ARROWS[SyncDirection];
}

}  // namespace

std::string TSyncTask::LogHeader(std::string_view Kind) const {
    std::string header = "----- " + LogTimeStamp(std::time(nullptr)) + " ,Job:\"" + SyncName + "\" ,";
    header += Kind;
    header += "," + GetLocalComputerName() + "," + GetCurrentUserName() + " -----";
    header += CRLF;
    header += LFolder->FolerAllName;
    header += DirectionArrow(SyncDirection);
    header += RFolder->FolerAllName;
    return header;
}

std::string TSyncTask::LogAnalysis(std::string_view Times, std::string_view Counts,
                                   std::string_view Disk) const {
    std::string record;
    try {
        record = LogHeader("ANALYSIS");
        record += CRLF;
        record += Counts;
        record += CRLF;
        record += Disk;
        record += CRLF;
        record += "----- Analysis ";
        record += Times;
        record += " -----";
        if (SysConfig().SaveLog == 1) WriteLog(record);
    } catch (const std::exception& e) {
        // The record still reaches the window's log pane; a log that cannot be written must not
        // disturb the analysis that has just finished.
        LogError(LOG_CONTEXT, e);
    }
    return record;
}

void TSyncTask::LogIfEnabled(std::string_view Text) const {
    if (SysConfig().SaveLog == 1) WriteLog(Text);
}

void TSyncTask::WriteLog(std::string_view Text) const {
    const std::string folder = GetProgramFolder();
    if (folder.empty()) throw EInOutError("The program folder is not available for the task log");
    const std::string path = folder + SyncIDToFileName(SyncID) + ".log";
    std::string line(Text);
    line += CRLF;
    // One write per record, so records of two windows writing the same log never interleave.
    if (const int rc = AppendToFile(path, line); rc != 0)
        throw EInOutError(path + ": " + std::generic_category().message(rc));
}

}  // namespace bfs
