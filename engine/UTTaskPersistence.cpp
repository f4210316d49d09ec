// Moving a task between memory and its Tast element of the task-list file.

#include "engine/UTSyncTask.h"
#include "model/TaskList.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "model/UTSysConfig.h"
#include "platform/UTFolders.h"

#include <charconv>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace bfs {

namespace {

constexpr const char* TASK_LIST_FILE = "tasklist.fs";
constexpr const char* TEMPLATE_SKELETON_FILE = "TaskTemp.fs";
constexpr const char* TASK_LIST_ERROR_KEY = "error_free_tasklist_xml";
constexpr const char* TASK_LIST_ERROR_TEXT = "The task list file could not be read or written";

// Error-log context of every task-list failure: the language's text, or a fixed one when the
// language file lacks it.
std::string TaskListContext() {
    std::string text = SysConfig().GetText(TASK_LIST_ERROR_KEY);
    return text.empty() ? std::string(TASK_LIST_ERROR_TEXT) : text;
}

std::string ProgramFile(std::string_view Name) {
    std::string folder = GetProgramFolder();
    if (folder.empty()) throw EInOutError("The program folder is not available");
    return folder + std::string(Name);
}

// Loads Path; a missing file gives an empty task list. A file that cannot be read or parsed throws,
// so that nothing is ever written over it.
void LoadTaskListFile(TTaskListDocument& Doc, const std::string& Path) {
    switch (Doc.LoadFile(Path)) {
        case TTaskListDocument::LOAD_PARSE_ERROR:
            throw EConvertError(Doc.ErrorText());
        case TTaskListDocument::LOAD_READ_ERROR:
            throw EInOutError(Doc.ErrorText());
        default:
            break;
    }
}

void SaveTaskListFile(const TTaskListDocument& Doc, const std::string& Path) {
    const int rc = Doc.Save(Path);
    if (rc == TTaskListDocument::SAVE_LOAD_FAILED)
        throw EInOutError(Path + ": not written, the document did not load");
    if (rc != 0) throw EInOutError(Path + ": " + std::generic_category().message(rc));
}

// A new identifier: Name + the millisecond tick count, counted on while the list already holds it,
// so two tasks of one name made within the same millisecond still differ.
std::string NewSyncID(const TXMLTaskListType& List, const std::string& Name) {
    using namespace std::chrono;
    auto tick = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    std::string id = Name + std::to_string(tick);
    while (List.FindTast(id) >= 0) id = Name + std::to_string(++tick);
    return id;
}

// The settings that decide what a run does, in the order DamagedSetting names them. One that did
// not load must not be kept in the file as its old text on saving: that would leave the task
// refusing to run after the user saved the value it now shows.
constexpr const char* RUN_SETTINGS[] = {"SyncDirection", "ForcedOrVerified", "IsDeleteFile",
                                        "EstimateDiskSpace", "Auto/EnsureFolderTags"};

bool IsRunSetting(std::string_view Key) {
    for (const char* k : RUN_SETTINGS)
        if (Key == k) return true;
    return false;
}

// Decimal text as a number: optional blanks at either end, an optional sign, digits, in range.
template <class TInt>
bool ParseDecimal(std::string_view Text, TInt& Value) {
    std::string trimmed = Trim(Text);
    std::string_view digits = trimmed;
    if (digits.size() > 1 && digits[0] == '+' && digits[1] != '-') digits.remove_prefix(1);
    if (digits.empty()) return false;
    TInt parsed{};
    const char* end = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), end, parsed);
    if (ec != std::errc() || ptr != end) return false;
    Value = parsed;
    return true;
}

// Reads the numeric leaves of one element; a bad text leaves its field at 0 and is collected for
// the error log and for the next save.
class TTaskReader {
  public:
    explicit TTaskReader(std::map<std::string, std::string>& Failed) : m_Failed(Failed) {}

    void Int(const std::string& Key, const std::string& Text, int32_t& Field) {
        if (ParseDecimal(Text, Field)) return;
        Field = 0;
        m_Failed[Key] = "0";
        if (!m_Bad.empty()) m_Bad += ", ";
        m_Bad += Key + " \"" + Text + "\"";
    }

    // One error-log line for the whole element.
    void Report(const std::string& Name, const std::string& ID) const {
        if (m_Bad.empty()) return;
        bool runSetting = false;
        for (const auto& [key, value] : m_Failed) runSetting = runSetting || IsRunSetting(key);
        TMyException::Instance().LogError(TaskListContext(), "EConvertError",
                                          "Task \"" + Name + "\" (" + ID + "): not a number in " + m_Bad +
                                              (runSetting ? "; the task does not run until it is saved again"
                                                          : "; 0 is used and the file keeps these texts"));
    }

  private:
    std::map<std::string, std::string>& m_Failed;
    std::string m_Bad;
};

// Masks are the Items named "N..." in document order; a limit that is not a number is unset.
void ReadItems(const TXMLItemListType& List, std::vector<std::string>& Masks, int32_t& TimeMin,
               int32_t& TimeMax, int64_t& SizeMin, int64_t& SizeMax) {
    auto limit = [](const std::string& Text, auto& Field, auto Unset) {
        if (!ParseDecimal(Text, Field)) Field = Unset;
    };
    for (const TXMLItemType& item : List.Items()) {
        const std::string name = item.Get_name();
        if (name.starts_with('N'))
            Masks.push_back(item.Get_value());
        else if (name == "FileTimeMin")
            limit(item.Get_value(), TimeMin, FILE_TIME_UNSET);
        else if (name == "FileTimeMax")
            limit(item.Get_value(), TimeMax, FILE_TIME_UNSET);
        else if (name == "FileSizeMin")
            limit(item.Get_value(), SizeMin, int64_t{-1});
        else if (name == "FileSizeMax")
            limit(item.Get_value(), SizeMax, int64_t{-1});
    }
}

void WriteItems(const TXMLItemListType& List, const std::vector<std::string>& Masks, int32_t TimeMin,
                int32_t TimeMax, int64_t SizeMin, int64_t SizeMax) {
    TXMLItemListType items = List;
    items.Clear();
    auto add = [&](const std::string& Name, const std::string& Value) {
        TXMLItemType item = items.Add();
        item.Set_name(Name);
        item.Set_value(Value);
    };
    for (size_t i = 0; i < Masks.size(); ++i) add("N" + std::to_string(i), Masks[i]);
    // Dates are written as they are (FILE_TIME_UNSET included; other negative values are dates
    // from 2044 on). An unset size is any negative value in memory and always "-1" in the file.
    add("FileTimeMin", std::to_string(TimeMin));
    add("FileTimeMax", std::to_string(TimeMax));
    add("FileSizeMin", std::to_string(SizeMin < 0 ? -1 : SizeMin));
    add("FileSizeMax", std::to_string(SizeMax < 0 ? -1 : SizeMax));
}

// Writes the leaves of one element in a fixed order. With Keep, a field that did not load and still
// holds the value it took then is skipped, so the file keeps the text that was there; a run setting
// is written all the same.
class TTaskWriter {
  public:
    explicit TTaskWriter(const std::map<std::string, std::string>* Keep) : m_Keep(Keep) {}

    template <class TBinding, class TOwner>
    void Put(const TBinding& Element, void (TOwner::*Set)(std::string_view) const, const std::string& Key,
             const std::string& Value, const std::string& Stored) {
        if (m_Keep) {
            auto it = m_Keep->find(Key);
            if (it != m_Keep->end()) {
                if (it->second == Value && !IsRunSetting(Key)) return;
                Written.push_back(Key);
            }
        }
        (Element.*Set)(Stored);
    }
    template <class TBinding, class TOwner>
    void Put(const TBinding& Element, void (TOwner::*Set)(std::string_view) const, const std::string& Key,
             const std::string& Value) {
        Put(Element, Set, Key, Value, Value);
    }
    template <class TBinding, class TOwner>
    void Put(const TBinding& Element, void (TOwner::*Set)(std::string_view) const, const std::string& Key,
             int32_t Value) {
        Put(Element, Set, Key, std::to_string(Value));
    }

    // Keys of fields that had not loaded and were written now (changed by the user, or run settings).
    std::vector<std::string> Written;

  private:
    const std::map<std::string, std::string>* m_Keep;
};

void WriteFolder(TTaskWriter& W, const TXMLFolderType& E, const std::string& Side, const TFolderSource& F) {
    W.Put(E, &TXMLFolderType::Set_DeviceType, Side + "/DeviceType", F.DeviceType);
    W.Put(E, &TXMLFolderType::Set_FolerAllName, Side + "/FolerAllName", F.FolerAllName);
    W.Put(E, &TXMLFolderType::Set_validate, Side + "/validate", F.validate);
    W.Put(E, &TXMLFolderType::Set_UserName, Side + "/UserName", F.UserName);
    W.Put(E, &TXMLFolderType::Set_PWD, Side + "/PWD", F.PWD, TSyncTask::EncodeFolderPassword(F.PWD));
    W.Put(E, &TXMLFolderType::Set_ActiveMode, Side + "/ActiveMode", F.ActiveMode);
    W.Put(E, &TXMLFolderType::Set_FactTime, Side + "/FactTime", F.FactTime);
    W.Put(E, &TXMLFolderType::Set_PrivateKey, Side + "/PrivateKey", F.PrivateKey);
}

// Every stored field after SyncName and SyncID, in the order a new element gets its children.
void WriteTask(TTaskWriter& W, const TXMLTastType& E, const TSyncTask& T) {
    using X = TXMLTastType;
    W.Put(E, &X::Set_SyncName, "SyncName", T.SyncName);
    W.Put(E, &X::Set_SyncDirection, "SyncDirection", T.SyncDirection);
    W.Put(E, &X::Set_ForcedOrVerified, "ForcedOrVerified", T.ForcedOrVerified);
    W.Put(E, &X::Set_IsDeleteFile, "IsDeleteFile", T.IsDeleteFile);
    W.Put(E, &X::Set_SaveOldFile, "SaveOldFile", T.SaveOldFile);
    W.Put(E, &X::Set_UseTempFile, "UseTempFile", T.UseTempFile);
    W.Put(E, &X::Set_CheckNoChange, "CheckNoChange", T.CheckNoChange);
    W.Put(E, &X::Set_EstimateDiskSpace, "EstimateDiskSpace", T.EstimateDiskSpace);
    WriteFolder(W, E.Get_LFolder(), "LFolder", *T.LFolder);
    WriteFolder(W, E.Get_RFolder(), "RFolder", *T.RFolder);

    using F = TXMLFilterType;
    const F filter = E.Get_Filter();
    W.Put(filter, &F::Set_ExcludeEmtpyFolder, "Filter/ExcludeEmtpyFolder", T.ExcludeEmtpyFolder);
    W.Put(filter, &F::Set_ExcludeHiddenFile, "Filter/ExcludeHiddenFile", T.ExcludeHiddenFile);
    W.Put(filter, &F::Set_ExcludeSystemFile, "Filter/ExcludeSystemFile", T.ExcludeSystemFile);
    WriteItems(filter.Get_IncludeFilter(), T.IncludeFilter, T.IncludeFileTimeMin, T.IncludeFileTimeMax,
               T.IncludeFileSizeMin, T.IncludeFileSizeMax);
    WriteItems(filter.Get_ExcludeFilter(), T.ExcludeFilter, T.ExcludeFileTimeMin, T.ExcludeFileTimeMax,
               T.ExcludeFileSizeMin, T.ExcludeFileSizeMax);

    using A = TXMLAutoType;
    const A a = E.Get_Auto();
    W.Put(a, &A::Set_StartAnalyze, "Auto/StartAnalyze", T.StartAnalyze);
    W.Put(a, &A::Set_StartSync, "Auto/StartSync", T.StartSync);
    W.Put(a, &A::Set_ConnectAnalyze, "Auto/ConnectAnalyze", T.ConnectAnalyze);
    W.Put(a, &A::Set_ConnectSync, "Auto/ConnectSync", T.ConnectSync);
    W.Put(a, &A::Set_LogoffAnalyze, "Auto/LogoffAnalyze", T.LogoffAnalyze);
    W.Put(a, &A::Set_LogoffSync, "Auto/LogoffSync", T.LogoffSync);
    W.Put(a, &A::Set_PeriodAnalyze, "Auto/PeriodAnalyze", T.PeriodAnalyze);
    W.Put(a, &A::Set_PeriodSync, "Auto/PeriodSync", T.PeriodSync);
    W.Put(a, &A::Set_Hours, "Auto/Hours", T.Hours);
    W.Put(a, &A::Set_minutes, "Auto/minutes", T.minutes);
    W.Put(a, &A::Set_TaskScheduler, "Auto/TaskScheduler", T.TaskScheduler);
    W.Put(a, &A::Set_TSsync, "Auto/TSsync", T.TSsync);
    W.Put(a, &A::Set_TSanalyze, "Auto/TSanalyze", T.TSanalyze);
    W.Put(a, &A::Set_Conflicts, "Auto/Conflicts", T.Conflicts);
    W.Put(a, &A::Set_EnsureFolderTags, "Auto/EnsureFolderTags", T.EnsureFolderTags);
}

// Appends a new element carrying SyncName and then ID, the first two children of a new task.
TXMLTastType AppendTast(TXMLTaskListType& List, const std::string& Name, const std::string& ID) {
    TXMLTastType tast = List.Add();
    tast.Set_SyncName(Name);
    tast.Set_SyncID(ID);
    return tast;
}

}  // namespace

std::string TSyncTask::EncodeFolderPassword(std::string_view P) {
    return Trim(P).empty() ? std::string() : ScramblePassword(P);
}

std::string TSyncTask::DecodeFolderPassword(std::string_view S) {
    return S.empty() ? std::string() : UnscramblePassword(S);
}

void TSyncTask::LoadFromXML(const TXMLTastType& Tast) {
    m_FailedFields.clear();
    TTaskReader r(m_FailedFields);

    SyncName = Tast.Get_SyncName();
    SyncID = Tast.Get_SyncID();
    auto readFolder = [&](const TXMLFolderType& E, const std::string& Side, TFolderSource& F) {
        r.Int(Side + "/DeviceType", E.Get_DeviceType(), F.DeviceType);
        F.FolerAllName = E.Get_FolerAllName();
        F.UserName = E.Get_UserName();
        const std::string stored = E.Get_PWD();
        F.PWD = DecodeFolderPassword(stored);
        // A stored form that gives no password did not load (UnscramblePassword has logged it);
        // the next save keeps it rather than writing an empty password over it.
        if (!stored.empty() && F.PWD.empty()) m_FailedFields[Side + "/PWD"] = "";
        r.Int(Side + "/validate", E.Get_validate(), F.validate);
        r.Int(Side + "/ActiveMode", E.Get_ActiveMode(), F.ActiveMode);
        r.Int(Side + "/FactTime", E.Get_FactTime(), F.FactTime);
        F.PrivateKey = E.Get_PrivateKey();
    };
    readFolder(Tast.Get_LFolder(), "LFolder", *LFolder);
    readFolder(Tast.Get_RFolder(), "RFolder", *RFolder);

    r.Int("SyncDirection", Tast.Get_SyncDirection(), SyncDirection);
    r.Int("ForcedOrVerified", Tast.Get_ForcedOrVerified(), ForcedOrVerified);
    r.Int("IsDeleteFile", Tast.Get_IsDeleteFile(), IsDeleteFile);
    r.Int("SaveOldFile", Tast.Get_SaveOldFile(), SaveOldFile);
    r.Int("UseTempFile", Tast.Get_UseTempFile(), UseTempFile);
    r.Int("CheckNoChange", Tast.Get_CheckNoChange(), CheckNoChange);
    r.Int("EstimateDiskSpace", Tast.Get_EstimateDiskSpace(), EstimateDiskSpace);

    const TXMLFilterType filter = Tast.Get_Filter();
    ReadItems(filter.Get_IncludeFilter(), IncludeFilter, IncludeFileTimeMin, IncludeFileTimeMax,
              IncludeFileSizeMin, IncludeFileSizeMax);
    ReadItems(filter.Get_ExcludeFilter(), ExcludeFilter, ExcludeFileTimeMin, ExcludeFileTimeMax,
              ExcludeFileSizeMin, ExcludeFileSizeMax);
    r.Int("Filter/ExcludeEmtpyFolder", filter.Get_ExcludeEmtpyFolder(), ExcludeEmtpyFolder);
    r.Int("Filter/ExcludeHiddenFile", filter.Get_ExcludeHiddenFile(), ExcludeHiddenFile);
    r.Int("Filter/ExcludeSystemFile", filter.Get_ExcludeSystemFile(), ExcludeSystemFile);

    const TXMLAutoType a = Tast.Get_Auto();
    r.Int("Auto/StartAnalyze", a.Get_StartAnalyze(), StartAnalyze);
    r.Int("Auto/StartSync", a.Get_StartSync(), StartSync);
    r.Int("Auto/ConnectAnalyze", a.Get_ConnectAnalyze(), ConnectAnalyze);
    r.Int("Auto/ConnectSync", a.Get_ConnectSync(), ConnectSync);
    r.Int("Auto/LogoffAnalyze", a.Get_LogoffAnalyze(), LogoffAnalyze);
    r.Int("Auto/LogoffSync", a.Get_LogoffSync(), LogoffSync);
    r.Int("Auto/PeriodAnalyze", a.Get_PeriodAnalyze(), PeriodAnalyze);
    r.Int("Auto/PeriodSync", a.Get_PeriodSync(), PeriodSync);
    r.Int("Auto/Hours", a.Get_Hours(), Hours);
    r.Int("Auto/minutes", a.Get_minutes(), minutes);
    TaskScheduler = a.Get_TaskScheduler();
    r.Int("Auto/TSsync", a.Get_TSsync(), TSsync);
    r.Int("Auto/TSanalyze", a.Get_TSanalyze(), TSanalyze);
    r.Int("Auto/Conflicts", a.Get_Conflicts(), Conflicts);
    r.Int("Auto/EnsureFolderTags", a.Get_EnsureFolderTags(), EnsureFolderTags);

    r.Report(SyncName, SyncID);
}

std::string TSyncTask::DamagedSetting() const {
    for (const char* key : RUN_SETTINGS)
        if (m_FailedFields.contains(key)) return key;
    return {};
}

int32_t TSyncTask::SaveToTaskList(int32_t IsNew) {
    try {
        const std::string path = ProgramFile(TASK_LIST_FILE);
        TTaskListDocument doc;
        LoadTaskListFile(doc, path);
        TXMLTaskListType list = doc.GetTaskList();

        const int index = IsNew != 0 ? -1 : list.FindTast(SyncID);
        const bool appended = index < 0;
        const std::string id = appended && SyncID.empty() ? NewSyncID(list, SyncName) : SyncID;
        const TXMLTastType tast = appended ? AppendTast(list, SyncName, id) : list.Get_Tast(index);

        // A new element holds nothing to keep: every field is written.
        TTaskWriter writer(appended ? nullptr : &m_FailedFields);
        WriteTask(writer, tast, *this);
        SaveTaskListFile(doc, path);

        // The task changes only once the file holds what it says.
        if (appended) {
            SyncID = id;
            m_FailedFields.clear();
        }
        for (const std::string& key : writer.Written) m_FailedFields.erase(key);
        return 0;
    } catch (const std::exception& e) {
        LogError(TaskListContext(), e);
        return 1;
    }
}

int32_t TSyncTask::SaveAsTemplate(const std::string& FileName) {
    try {
        // A template is one file in the program folder, and never the task list or the skeleton.
        if (!IsSafeName(FileName) || FileName == TASK_LIST_FILE || FileName == TEMPLATE_SKELETON_FILE)
            throw EInOutError("\"" + FileName + "\" cannot be used as the file name of a template");
        const std::string target = ProgramFile(FileName);
        TTaskListDocument doc;
        LoadTaskListFile(doc, ProgramFile(TEMPLATE_SKELETON_FILE));
        TXMLTaskListType list = doc.GetTaskList();
        const TXMLTastType tast = AppendTast(list, SyncName, NewSyncID(list, SyncName));
        TTaskWriter writer(nullptr);
        WriteTask(writer, tast, *this);
        SaveTaskListFile(doc, target);
        return 0;
    } catch (const std::exception& e) {
        LogError(TaskListContext(), e);
        return 1;
    }
}

int32_t TSyncTask::DeleteFromTaskList() {
    try {
        const std::string path = ProgramFile(TASK_LIST_FILE);
        TTaskListDocument doc;
        LoadTaskListFile(doc, path);
        TXMLTaskListType list = doc.GetTaskList();
        const int index = list.FindTast(SyncID);
        if (index < 0) return 0;  // not in the file: the file stays exactly as it is
        list.Delete(index);
        SaveTaskListFile(doc, path);
        return 0;
    } catch (const std::exception& e) {
        LogError(TaskListContext(), e);
        return 1;
    }
}

int32_t TSyncTask::SaveFolderPath(int Side) {
    try {
        if (Side != 0 && Side != 1) throw std::invalid_argument("folder side " + std::to_string(Side));
        const std::string path = ProgramFile(TASK_LIST_FILE);
        TTaskListDocument doc;
        LoadTaskListFile(doc, path);
        const TXMLTaskListType list = doc.GetTaskList();
        const int index = list.FindTast(SyncID);
        if (index < 0) return SaveToTaskList(0);  // the element is gone: the whole task is saved
        const TXMLTastType tast = list.Get_Tast(index);
        // The kind goes with the address: a typed address takes the kind of its form.
        const auto write = [](const auto& Element, const TFolderSource& Folder) {
            Element.Set_DeviceType(std::to_string(Folder.DeviceType));
            Element.Set_FolerAllName(Folder.FolerAllName);
        };
        if (Side == 0)
            write(tast.Get_LFolder(), *LFolder);
        else
            write(tast.Get_RFolder(), *RFolder);
        SaveTaskListFile(doc, path);
        return 0;
    } catch (const std::exception& e) {
        LogError(TaskListContext(), e);
        return 1;
    }
}

}  // namespace bfs
