#pragma once

#include "model/UTIniFile.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

// The settings file and its section, in the program folder.
inline constexpr std::string_view SETTINGS_FILE_NAME = "Tessmarin.ini";
inline constexpr std::string_view SETTINGS_SECTION = "filesync";
// Language files are ini files in the program folder with their texts in this section.
inline constexpr std::string_view LANGUAGE_SECTION = "title";
inline constexpr std::string_view DEFAULT_LANGUAGE_FILE = "en-english.lng";

// Error-log contexts of the settings and language files.
inline constexpr std::string_view CONTEXT_CONFIG_READ = "Can not Find Config File,Exist!";
inline constexpr std::string_view CONTEXT_CONFIG_VALUE = "Config Value Error";
inline constexpr std::string_view CONTEXT_LANGUAGE = "Read char Error!";

// The program-wide settings (section "filesync" of "Tessmarin.ini") and the open language file.
// One instance for the whole run: SysConfig(). Only the user-interface thread changes it.
//
// The analysis thread reads ExcludeFilter and IncludeFilter: it must be handed copies of them when
// it is created on the user-interface thread, so the options window can change the lists while an
// analysis runs.
//
// In the file, IncludeFilter and ExcludeFilter hold their entries each followed by ",", so the
// entries a and b are "a,b," and an empty list is an empty value; an entry cannot hold ",".
class TSysConfig {
  public:
    TSysConfig();
    TSysConfig(const TSysConfig&) = delete;
    TSysConfig& operator=(const TSysConfig&) = delete;

    std::string curlang;                 // file name of the current language file
    std::string languages;               // comma-separated language file names offered
    std::unique_ptr<TIniFile> LangFile;  // the open language file (OpenLanguage); none before
    int32_t ShowTrayIcon = 0;
    int32_t HideTaskToTray = 0;
    int32_t WindowsStart = 0;
    int32_t CheckVersionVeryDay = 0;
    // CheckVersionVeryDay as the settings file holds it (set by Load and by a successful Save). A
    // run started for a named task clears CheckVersionVeryDay for that run only; the options window
    // shows and stores this one, so saving the options in such a run keeps the user's choice.
    int32_t StoredCheckVersionVeryDay = 0;
    int32_t CreateFolder = 0;
    int32_t SaveLog = 0;
    std::vector<std::string> ExcludeFilter;
    std::vector<std::string> IncludeFilter;
    std::string CompareFile;
    int32_t AutoClose = 0;
    int32_t IsFirst = 0;       // read, never written back
    std::string TemplateList;  // comma-separated template names

    // Reads the settings from FileName in the program folder. Returns 1 when there is no such file
    // (nothing changes), else 0; a failure to read is logged and leaves the fields not yet read as
    // they were. Keys missing from the file take their defaults. A curlang that is not a bare file
    // name (empty, holding "/" or "..") is logged and replaced by DEFAULT_LANGUAGE_FILE.
    int Load(const std::string& FileName);
    // Writes curlang, the switches, CompareFile and the two filter lists into "Tessmarin.ini" in
    // the program folder, keeping every other line of the file (languages, TemplateList and
    // IsFirst among them). A missing file is created. Returns 0, or 2 when the file could not be
    // read or written (logged; the file is then left as it was).
    int Save();
    // Appends Name to TemplateList (after a "," unless the list is empty) and writes only that key,
    // creating the file when missing. Returns 0; 2 when the file could not be read or written
    // (logged; the name stays in memory); 3 when Name is empty or holds "," or a line break, which
    // the list could not hold as one name (nothing changes).
    int AddTemplate(const std::string& Name);
    // Opens FileName in the program folder as the language file. Returns 0; 1 when the name is not a
    // bare file name or no such file exists; -1 when it could not be read (logged). On failure the
    // previous language file stays open.
    int OpenLanguage(const std::string& FileName);
    // The text of Key in the language file's section "title"; empty when absent or no file is open.
    std::string GetText(std::string_view Key) const;
};

// The one settings instance of the program.
TSysConfig& SysConfig();

}  // namespace bfs
