#pragma once

#include "storage/UTHttpSession.h"
#include "ui/UTImageList.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>

class QMessageBox;
class QWidget;

namespace bfs {

// Message box flags and answers, as every message box of the program is asked for.
inline constexpr int MB_OK = 0x00;
inline constexpr int MB_YESNO = 0x04;
inline constexpr int MB_ICONERROR = 0x10;
inline constexpr int MB_ICONQUESTION = 0x20;
inline constexpr int MB_ICONINFORMATION = 0x40;
inline constexpr int MB_DEFBUTTON2 = 0x100;  // the second button (No) is the default
inline constexpr int IDOK = 1;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Shows a message box and returns the button chosen (IDOK, IDYES, IDNO).
using TMessageBoxFunc = std::function<int(const QString& Text, const QString& Caption, int Flags)>;

// The one way the program shows a message box; ExecMessageBox unless replaced. Tests replace it so
// that no box waits for a user. User-interface thread only.
extern TMessageBoxFunc MessageBoxFunc;
// Shows a box through MessageBoxFunc (ExecMessageBox when it is empty).
int ShowMessageBox(const QString& Text, const QString& Caption, int Flags);
// The box for Text, Caption and Flags, built and not shown: Flags with MB_YESNO gives Yes and No
// buttons (No answers Escape), else one OK button; MB_ICONERROR or MB_ICONINFORMATION chooses the
// icon. The text is plain text; a carriage return in it breaks the line.
std::unique_ptr<QMessageBox> BuildMessageBox(const QString& Text, const QString& Caption, int Flags,
                                             QWidget* Parent = nullptr);
// The width of a message box's text column: its longest line (LongestLine pixels) when that fits, else
// the most a box may give its text on a screen ScreenWidth pixels wide: Measure (a line still easy
// to follow), and a box of nine tenths of the screen, or on a wide screen as wide as the toolkit lets a
// box grow before it breaks lines inside words. Extra is the rest of the box's width (icon, margins).
int MessageTextWidth(int LongestLine, int Measure, int ScreenWidth, int Extra);
// Shows BuildMessageBox's box over the active window and waits for the answer.
int ExecMessageBox(const QString& Text, const QString& Caption, int Flags);

// The registry value naming the folder address the update check fetches "Update.ini" from (a
// setting of ours, in the same key as the installed version), and its default.
inline constexpr const char* UPDATE_URL_VALUE = "UpdateURL";
inline constexpr const char* DEFAULT_UPDATE_URL = "http://update.bramlow-file-sync.example/";
// The updater, a separate program in the program folder, started without arguments.
inline constexpr const char* UPDATER_NAME = "Update";
// The update description, fetched into the program folder under the same name.
inline constexpr const char* UPDATE_INI_NAME = "Update.ini";

// What the update location offers, compared with the installed version.
enum class TVersionCheck {
    Newer,     // a newer version is offered
    NotNewer,  // the offered version is the installed one or older (or none is named)
    Failed,    // the update description could not be fetched: the check ends here
};

// The data module: made once at start-up, it holds the image lists every window shares and the
// HTTP session, and runs the check for a newer version of the program. Lives until the end.
class TDM : public QObject {
    Q_OBJECT

  public:
    // Loads the image lists (a missing picture strip leaves its list empty) and sets DM.
    explicit TDM(QObject* Owner = nullptr);
    ~TDM() override;

    // The start-up work: the silent update check when StartupCheck and RegistryInfo.CheckUpdate are
    // both true. A start that runs a named task passes false, so it never touches the network.
    void DataModuleCreate(bool StartupCheck);

    // The whole check with its boxes. ShowUpToDate (the menu's check) also reports a failed
    // download and an up-to-date program; the start-up check stays silent about both. On Yes the
    // updater is started and, only when it did start, the application is asked to end.
    void CheckForUpdate(bool ShowUpToDate);
    // Fetches the update description and compares its version with the installed one: Newer when
    // the offered text is greater, byte by byte. ShowErrors: a failed download shows its box.
    TVersionCheck CheckNewVersion(bool ShowErrors);
    // Fetches URL into LocalFile, under the wait cursor. The file is replaced only by a complete
    // body: a failed transfer leaves an existing LocalFile as it was. On failure, when ShowErrors,
    // the download failure box naming the update location. True when LocalFile holds the body.
    bool DownloadFile(const std::string& URL, const std::string& LocalFile, bool ShowErrors);
    // The installed version: the registry's "Version" value, or this program's own version when
    // none is recorded.
    std::string GetInstalledVersion() const;
    // The folder address of the updates (registry value UpdateURL), ending in "/".
    std::string GetUpdateLocation() const;
    // Whether the update check asked the application to end (the updater was started).
    bool TerminateRequested() const { return m_TerminateRequested; }

    THttpSession IdHTTP1;
    TImageList buttonImageList{75, 24};  // the task window's image buttons
    TImageList bigbutton{79, 26};        // dialog buttons: 0 normal, 1 under the mouse, 2 pressed
    TImageList moveil{5, 10};            // tab-strip scroll: 0, 1 right button; 2, 3 left button
    TImageList TabIL{75, 27};            // page tabs of the options and configuration windows

  private:
    bool m_TerminateRequested = false;
};

// The data module, set when it is made; null before and after.
extern TDM* DM;

// This program's own version text (the installed version when the registry records none).
const char* ProgramVersion();

}  // namespace bfs
