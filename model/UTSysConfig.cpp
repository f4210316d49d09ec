#include "model/UTSysConfig.h"

#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <variant>

namespace bfs {

namespace {

using TTextField = std::string TSysConfig::*;
using TIntField = int32_t TSysConfig::*;
using TListField = std::vector<std::string> TSysConfig::*;

// One setting of section "filesync". Load walks the table in its order; Save writes the rows marked
// Saved (languages, TemplateList and IsFirst are maintained elsewhere or never written back).
struct TSetting {
    std::string_view Key;
    std::variant<TTextField, TIntField, TListField> Field;
    std::string_view TextDefault = {};
    int32_t IntDefault = 0;
    bool Saved = true;
};

const TSetting SETTINGS[] = {
    {.Key = "curlang", .Field = &TSysConfig::curlang, .TextDefault = DEFAULT_LANGUAGE_FILE},
    {.Key = "languages",
     .Field = &TSysConfig::languages,
     .TextDefault = DEFAULT_LANGUAGE_FILE,
     .Saved = false},
    {.Key = "WindowsStart", .Field = &TSysConfig::WindowsStart},
    {.Key = "CheckVersionVeryDay", .Field = &TSysConfig::CheckVersionVeryDay},
    {.Key = "CreateFolder", .Field = &TSysConfig::CreateFolder},
    {.Key = "SaveLog", .Field = &TSysConfig::SaveLog},
    {.Key = "HideTaskToTray", .Field = &TSysConfig::HideTaskToTray},
    {.Key = "ShowTrayIcon", .Field = &TSysConfig::ShowTrayIcon},
    {.Key = "AutoClose", .Field = &TSysConfig::AutoClose},
    {.Key = "CompareFile", .Field = &TSysConfig::CompareFile},
    {.Key = "IncludeFilter", .Field = &TSysConfig::IncludeFilter},
    {.Key = "ExcludeFilter", .Field = &TSysConfig::ExcludeFilter},
    {.Key = "TemplateList", .Field = &TSysConfig::TemplateList, .Saved = false},
    {.Key = "IsFirst", .Field = &TSysConfig::IsFirst, .IntDefault = 1, .Saved = false},
};

// Each entry followed by ","; a line break inside an entry would split it on reading anyway, so it
// is written as the "," it stands for rather than breaking the ini line.
std::string JoinList(const std::vector<std::string>& Entries) {
    std::string text;
    for (const std::string& entry : Entries) {
        for (size_t i = 0; i < entry.size(); ++i) {
            char c = entry[i];
            if (c == '\r' && i + 1 < entry.size() && entry[i + 1] == '\n') continue;
            text += (c == '\r' || c == '\n') ? ',' : c;
        }
        text += ',';
    }
    return text;
}

// A file name that stays inside the program folder.
bool IsBareFileName(std::string_view Name) {
    return !Name.empty() && Name.find('/') == std::string_view::npos &&
           Name.find("..") == std::string_view::npos && Name.find('\0') == std::string_view::npos;
}

std::string ErrnoText(const std::string& Path, int Err) {
    return Path + ": " + std::strerror(Err);
}

// The settings file for writing, its current contents loaded so every line that is not ours is kept.
// Returns false (logged) when the program folder or the existing file cannot be read.
bool OpenSettingsForWrite(TIniFile& Ini) {
    std::string folder = GetProgramFolder();
    if (folder.empty()) {
        TMyException::Instance().LogError(CONTEXT_CONFIG_READ, "EInOutError", "no program folder");
        return false;
    }
    std::string path = folder + std::string(SETTINGS_FILE_NAME);
    int err = Ini.Load(path);
    if (err != 0 && err != ENOENT) {
        TMyException::Instance().LogError(CONTEXT_CONFIG_READ, "EInOutError", ErrnoText(path, err));
        return false;
    }
    return true;
}

bool SaveSettings(const TIniFile& Ini) {
    int err = Ini.Save();
    if (err != 0)
        TMyException::Instance().LogError(CONTEXT_CONFIG_READ, "EInOutError", ErrnoText(Ini.FileName(), err));
    return err == 0;
}

}  // namespace

TSysConfig::TSysConfig() : curlang("USA.lng") {}

int TSysConfig::Load(const std::string& FileName) {
    std::string folder = GetProgramFolder();
    if (folder.empty()) return 1;
    std::string path = folder + FileName;
    if (!FileExists(path)) return 1;

    TIniFile ini;
    if (int err = ini.Load(path); err != 0) {
        TMyException::Instance().LogError(CONTEXT_CONFIG_READ, "EInOutError", ErrnoText(path, err));
        return 0;
    }
    try {
        for (const TSetting& s : SETTINGS) {
            if (auto* text = std::get_if<TTextField>(&s.Field))
                this->** text = ini.ReadString(SETTINGS_SECTION, s.Key, s.TextDefault);
            else if (auto* number = std::get_if<TIntField>(&s.Field))
                this->** number = ini.ReadInteger(SETTINGS_SECTION, s.Key, s.IntDefault);
            else if (auto* list = std::get_if<TListField>(&s.Field))
                this->** list = SplitSeparated(',', ini.ReadString(SETTINGS_SECTION, s.Key, ""));
            if (s.Key == "CheckVersionVeryDay") StoredCheckVersionVeryDay = CheckVersionVeryDay;
        }
        // The language file is opened by this name inside the program folder; a name that leads
        // elsewhere is not followed.
        if (!IsBareFileName(curlang)) {
            TMyException::Instance().LogError(CONTEXT_CONFIG_VALUE, "EConvertError",
                                              "curlang \"" + curlang + "\" is not a file name; " +
                                                  std::string(DEFAULT_LANGUAGE_FILE) + " is used");
            curlang = DEFAULT_LANGUAGE_FILE;
        }
    } catch (const std::exception& e) {
        LogError(CONTEXT_CONFIG_READ, e);
    }
    return 0;
}

int TSysConfig::Save() {
    try {
        TIniFile ini;
        if (!OpenSettingsForWrite(ini)) return 2;
        for (const TSetting& s : SETTINGS) {
            if (!s.Saved) continue;
            int err = 0;
            if (auto* text = std::get_if<TTextField>(&s.Field))
                err = ini.WriteString(SETTINGS_SECTION, s.Key, this->**text);
            else if (auto* number = std::get_if<TIntField>(&s.Field))
                err = ini.WriteInteger(SETTINGS_SECTION, s.Key, this->**number);
            else if (auto* list = std::get_if<TListField>(&s.Field))
                err = ini.WriteString(SETTINGS_SECTION, s.Key, JoinList(this->**list));
            if (err != 0) {
                TMyException::Instance().LogError(CONTEXT_CONFIG_READ, "EInOutError",
                                                  std::string(s.Key) + ": the value cannot be stored");
                return 2;
            }
        }
        if (!SaveSettings(ini)) return 2;
        StoredCheckVersionVeryDay = CheckVersionVeryDay;
        return 0;
    } catch (const std::exception& e) {
        LogError(CONTEXT_CONFIG_READ, e);
        return 2;
    }
}

int TSysConfig::AddTemplate(const std::string& Name) {
    if (Name.empty() || Name.find_first_of(",\r\n") != std::string::npos) return 3;
    try {
        bool blank = TrimWhiteSpace(TemplateList).empty();
        TemplateList += blank ? Name : "," + Name;

        TIniFile ini;
        if (!OpenSettingsForWrite(ini)) return 2;
        if (ini.WriteString(SETTINGS_SECTION, "TemplateList", TemplateList) != 0) {
            TMyException::Instance().LogError(CONTEXT_CONFIG_READ, "EInOutError",
                                              "TemplateList: the value cannot be stored");
            return 2;
        }
        return SaveSettings(ini) ? 0 : 2;
    } catch (const std::exception& e) {
        LogError(CONTEXT_CONFIG_READ, e);
        return 2;
    }
}

int TSysConfig::OpenLanguage(const std::string& FileName) {
    if (!IsBareFileName(FileName)) return 1;
    std::string folder = GetProgramFolder();
    if (folder.empty()) return 1;
    std::string path = folder + FileName;
    if (!FileExists(path)) return 1;
    try {
        auto ini = std::make_unique<TIniFile>();
        if (int err = ini->Load(path); err != 0) {
            TMyException::Instance().LogError(CONTEXT_LANGUAGE, "EInOutError", ErrnoText(path, err));
            return -1;
        }
        LangFile = std::move(ini);
        return 0;
    } catch (const std::exception& e) {
        LogError(CONTEXT_LANGUAGE, e);
        return -1;
    }
}

std::string TSysConfig::GetText(std::string_view Key) const {
    if (!LangFile) return {};
    try {
        return LangFile->ReadString(LANGUAGE_SECTION, Key, "");
    } catch (const std::exception& e) {
        LogError(CONTEXT_LANGUAGE, e);
        return {};
    }
}

TSysConfig& SysConfig() {
    static TSysConfig config;
    return config;
}

}  // namespace bfs
