#include "ui/DMUnit.h"

#include "model/UTConsts.h"
#include "model/UTIniFile.h"
#include "model/UTMyException.h"
#include "model/UTRegistry.h"
#include "platform/UTFolders.h"
#include "platform/UTLocalFile.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#ifndef BFS_PROGRAM_VERSION
#error "BFS_PROGRAM_VERSION is set by ui/CMakeLists.txt from the project's version"
#endif

namespace bfs {

TDM* DM = nullptr;
TMessageBoxFunc MessageBoxFunc;

namespace {

// The update description is a few lines; a body beyond this is no update description, and is
// not written into the program folder (the address is plain HTTP: anyone on the way may answer).
constexpr int64_t MAX_DOWNLOAD_BYTES = 1 << 20;
// The longest line of a message box's text, in average characters, that is still easy to follow.
constexpr int MESSAGE_MEASURE = 100;

QString Caption() {
    return QString::fromUtf8(PROGRAM_NAME);
}

// The hourglass while the user-interface thread waits on the network, taken away on every way out.
class TWaitCursor {
  public:
    TWaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    TWaitCursor(const TWaitCursor&) = delete;
    TWaitCursor& operator=(const TWaitCursor&) = delete;
    ~TWaitCursor() { Restore(); }
    void Restore() {
        if (m_Shown) QGuiApplication::restoreOverrideCursor();
        m_Shown = false;
    }

  private:
    bool m_Shown = true;
};

std::string RegistryFileName() {
    const std::string folder = GetProgramFolder();
    return folder.empty() ? std::string() : folder + REGISTRY_FILE_NAME;
}

}  // namespace

const char* ProgramVersion() {
    return BFS_PROGRAM_VERSION;
}

int MessageTextWidth(int LongestLine, int Measure, int ScreenWidth, int Extra) {
    int box = ScreenWidth * 9 / 10;
    // On a screen wider than this the toolkit keeps a box 480 pixels narrower than the screen and at
    // most 1000 wide, breaking lines anywhere, even inside words, to stay so.
    if (ScreenWidth > 1024) box = std::min({box, ScreenWidth - 480, 1000});
    return std::max(0, std::min({LongestLine, Measure, box - Extra}));
}

std::unique_ptr<QMessageBox> BuildMessageBox(const QString& Text, const QString& Caption, int Flags,
                                             QWidget* Parent) {
    auto box = std::make_unique<QMessageBox>(Parent);
    box->setWindowTitle(Caption);
    box->setTextFormat(Qt::PlainText);
    // The texts break their lines with a carriage return, which a Qt label does not.
    QString text = Text;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    box->setText(text);
    if (Flags & MB_ICONERROR)
        box->setIcon(QMessageBox::Critical);
    else if (Flags & MB_ICONINFORMATION)
        box->setIcon(QMessageBox::Information);
    else if (Flags & MB_ICONQUESTION)
        box->setIcon(QMessageBox::Question);
    if ((Flags & 0x0F) == MB_YESNO) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton((Flags & MB_DEFBUTTON2) ? QMessageBox::No : QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
    }
    // The box grows with its text, so that a long text does not wrap into a narrow column: the text
    // column is held at least as wide as MessageTextWidth allows, which the box then keeps.
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        const QFontMetrics fm(label->font());
        int longest = 0;
        for (const QString& line : text.split(QLatin1Char('\n')))
            longest = std::max(longest, fm.horizontalAdvance(line));
        // The rest of the box's width: what it needs besides a text column wider than any other part.
        constexpr int PROBE = 4000;
        label->setMinimumWidth(PROBE);
        box->layout()->activate();
        const int extra = std::max(0, box->layout()->totalMinimumSize().width() - PROBE);
        label->setMinimumWidth(MessageTextWidth(longest + 1, fm.averageCharWidth() * MESSAGE_MEASURE,
                                                box->screen()->availableGeometry().width(), extra));
    }
    return box;
}

int ExecMessageBox(const QString& Text, const QString& Caption, int Flags) {
    const std::unique_ptr<QMessageBox> box =
        BuildMessageBox(Text, Caption, Flags, QApplication::activeWindow());
    switch (box->exec()) {
        case QMessageBox::Yes:
            return IDYES;
        case QMessageBox::No:
            return IDNO;
        default:
            return IDOK;
    }
}

int ShowMessageBox(const QString& Text, const QString& Caption, int Flags) {
    return MessageBoxFunc ? MessageBoxFunc(Text, Caption, Flags) : ExecMessageBox(Text, Caption, Flags);
}

TDM::TDM(QObject* Owner) : QObject(Owner) {
    // A strip that is not in the resources leaves its list empty; the buttons then show no face.
    buttonImageList.LoadStrip(QStringLiteral("buttonImageList"));
    bigbutton.LoadStrip(QStringLiteral("bigbutton"));
    moveil.LoadStrip(QStringLiteral("moveil"));
    TabIL.LoadStrip(QStringLiteral("TabIL"));
    IdHTTP1.SetReadTimeout(THttpSession::DEFAULT_READ_TIMEOUT_MS);
    IdHTTP1.SetUserAgent(std::string(PROGRAM_NAME) + "/" + ProgramVersion());
    DM = this;
}

TDM::~TDM() {
    if (DM == this) DM = nullptr;
}

void TDM::DataModuleCreate(bool StartupCheck) {
    if (StartupCheck && RegistryInfo.CheckUpdate) CheckForUpdate(false);
}

void TDM::CheckForUpdate(bool ShowUpToDate) {
    switch (CheckNewVersion(ShowUpToDate)) {
        case TVersionCheck::Failed:
            return;  // the download reported itself when it should
        case TVersionCheck::NotNewer:
            if (ShowUpToDate)
                ShowMessageBox(QStringLiteral("There are no updates available at this time.\r"
                                              "Your Bramlow File Sync is up-to-date."),
                               Caption(), MB_OK | MB_ICONINFORMATION);
            return;
        case TVersionCheck::Newer:
            break;
    }
    if (ShowMessageBox(QStringLiteral("A newer version of Bramlow File Sync is available. "
                                      "Would you like to update now?"),
                       Caption(), MB_YESNO | MB_ICONINFORMATION) != IDYES)
        return;
    const std::string folder = GetProgramFolder();
    const QString updater = QFile::decodeName(QByteArray::fromStdString(folder + UPDATER_NAME));
    // The program ends only for an updater that runs: otherwise the user would be left with neither.
    if (folder.empty() || !QProcess::startDetached(updater, {})) {
        TMyException::Instance().LogError("CheckForUpdate", "EOSError",
                                          "cannot start the updater " + folder + UPDATER_NAME);
        ShowMessageBox(QStringLiteral("Can not start the updater ") + updater + QLatin1Char('.'), Caption(),
                       MB_OK | MB_ICONERROR);
        return;
    }
    m_TerminateRequested = true;
    // Queued: during the start-up check the event loop is not running yet; it then ends at once.
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}

TVersionCheck TDM::CheckNewVersion(bool ShowErrors) {
    const std::string folder = GetProgramFolder();
    const std::string localFile = folder.empty() ? std::string() : folder + UPDATE_INI_NAME;
    if (!DownloadFile(GetUpdateLocation() + UPDATE_INI_NAME, localFile, ShowErrors))
        return TVersionCheck::Failed;
    const std::string offered = TIniFile(localFile).ReadString("Version", "Ver", "");
    const std::string installed = GetInstalledVersion();
    // A plain byte-by-byte comparison of the texts, as version texts have always been compared here:
    // "2010.1.10" is not newer than "2010.1.2". A description without a version offers nothing.
    return offered > installed ? TVersionCheck::Newer : TVersionCheck::NotNewer;
}

bool TDM::DownloadFile(const std::string& URL, const std::string& LocalFile, bool ShowErrors) {
    TWaitCursor cursor;
    bool done = false;
    const size_t slash = LocalFile.rfind('/');
    if (slash != std::string::npos) {
        // The body goes to a temporary file beside LocalFile, renamed over it once complete.
        TTempFile temp(LocalFile.substr(0, slash + 1), "." + LocalFile.substr(slash + 1) + ".");
        if (!temp.Created()) {
            TMyException::Instance().LogError(
                "DownloadFile", "EFCreateError",
                "cannot create a file beside " + LocalFile + ": " + std::strerror(errno));
        } else {
            int64_t received = 0;
            int writeError = 0;
            const THttpResult result = IdHTTP1.Perform({URL}, [&](std::string_view Data) {
                received += static_cast<int64_t>(Data.size());
                if (received > MAX_DOWNLOAD_BYTES) return false;
                writeError = WriteAll(temp.Fd(), Data);
                return writeError == 0;
            });
            // Only a 2xx answer carries the file; a redirect's body is not it.
            done = result.Ok() && result.Status / 100 == 2;
            if (writeError != 0)
                TMyException::Instance().LogError(
                    "DownloadFile", "EInOutError",
                    "cannot write " + temp.Path() + ": " + std::strerror(writeError));
            if (done && !temp.CommitAs(LocalFile)) {
                TMyException::Instance().LogError(
                    "DownloadFile", "EInOutError",
                    "cannot replace " + LocalFile + ": " + std::strerror(errno));
                done = false;
            }
        }
    }
    cursor.Restore();  // before the box, so the user is not shown the hourglass over it
    if (!done && ShowErrors)
        ShowMessageBox(QStringLiteral("Can not download the new version.\rBecause Can not connect ") +
                           QString::fromStdString(GetUpdateLocation()) +
                           QStringLiteral(",Please check the network."),
                       Caption(), MB_OK | MB_ICONINFORMATION);
    return done;
}

std::string TDM::GetInstalledVersion() const {
    const std::string file = RegistryFileName();
    const std::string version =
        file.empty() ? std::string() : TIniFile(file).ReadString(REGISTRY_KEY, "Version", "");
    return version.empty() ? ProgramVersion() : version;
}

std::string TDM::GetUpdateLocation() const {
    const std::string file = RegistryFileName();
    std::string location =
        file.empty() ? std::string() : TIniFile(file).ReadString(REGISTRY_KEY, UPDATE_URL_VALUE, "");
    if (location.empty()) location = DEFAULT_UPDATE_URL;
    if (location.back() != '/') location += '/';  // a folder address: "Update.ini" goes below it
    return location;
}

}  // namespace bfs
