// The program: "bramlow-file-sync" opens the main window (one interactive instance per user);
// "bramlow-file-sync <task name>" runs the tasks of that name as their settings say, without a
// person, and ends when they have ended (status 0 when every run succeeded, 1 otherwise);
// "bramlow-file-sync --schedule-due daily|weekly <creation date> <n>" only answers whether a
// scheduled job is due today (status 0 due, 1 not, 2 bad arguments).

#include "model/UTConsts.h"
#include "model/UTRegistry.h"
#include "model/UTSysConfig.h"
#include "platform/UTFolders.h"
#include "platform/UTTaskScheduler.h"
#include "ui/DMUnit.h"
#include "ui/StartUnit.h"
#include "ui/UFMain.h"
#include "ui/UTApplication.h"
#include "ui/UTAutomation.h"
#include "ui/UTQtNotifyTarget.h"
#include "ui/UTSeedFolder.h"
#include "ui/UTSingleInstance.h"

#include <QByteArray>
#include <QEventLoop>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// A box of the start-up, shown before any language file is open.
void StartupBox(const char* Text) {
    bfs::ShowMessageBox(QString::fromUtf8(Text), QStringLiteral("Tip"), bfs::MB_OK);
}

// The displays named in the environment, for a message.
QByteArray DisplayNames() {
    QStringList names;
    for (const char* name : {"WAYLAND_DISPLAY", "DISPLAY"})
        if (!qEnvironmentVariableIsEmpty(name))
            names << QString::fromLatin1(name) + QLatin1Char('=') + qEnvironmentVariable(name);
    return names.join(QStringLiteral(", ")).toLocal8Bit();
}

// The window-system platforms to try, in order: those of the displays named in the environment
// (Wayland first in a Wayland session), then the unseen one.
QByteArray DisplayPlatforms() {
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    const bool x = !qEnvironmentVariableIsEmpty("DISPLAY");
    const bool waylandSession = qgetenv("XDG_SESSION_TYPE") == "wayland";
    QByteArray platforms;
    if (wayland && waylandSession) platforms += "wayland;";
    if (x) platforms += "xcb;";
    if (wayland && !waylandSession) platforms += "wayland;";
    return platforms + "offscreen";
}

}  // namespace

int main(int argc, char* argv[]) {
    // A scheduled job asks first whether today is one of its days (every n days or weeks): no window,
    // no settings. A lone argument is always a task name.
    if (argc > 2 && std::string_view(argv[1]) == "--schedule-due") {
        std::string error;
        const int due = bfs::ScheduleDueCheck(std::vector<std::string>(argv + 2, argv + argc), error);
        if (due == 2) std::fprintf(stderr, "%s\n", error.c_str());
        return due;
    }
    const bool commandLine = argc > 1;
    // Without a display (a timer before log-in, an SSH shell) a named task still runs, windows
    // unseen; the windows themselves cannot open. A platform chosen by the caller stands.
    const bool choosePlatform = qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    const bool displayNamed =
        !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (choosePlatform) {
        if (!displayNamed) {
            if (!commandLine) {
                std::fprintf(stderr,
                             "Bramlow File Sync: no display to open the windows on (neither DISPLAY nor "
                             "WAYLAND_DISPLAY is set).\n");
                return 1;
            }
            qputenv("QT_QPA_PLATFORM", "offscreen");
        } else {
            // A display that is named but gone (the session that named it has ended) is not fatal:
            // the window system tries the displays in turn and ends on the unseen one.
            qputenv("QT_QPA_PLATFORM", DisplayPlatforms());
        }
    }
    // A run without a person writes only its own lines to standard error (a scheduler keeps them):
    // the window system's notes about windows no one sees are not among them.
    if (commandLine)
        qInstallMessageHandler([](QtMsgType Type, const QMessageLogContext&, const QString& Text) {
            if (Type == QtCriticalMsg || Type == QtFatalMsg)
                std::fprintf(stderr, "Bramlow File Sync: %s\n", qPrintable(Text));
        });
    // An exception that escapes a window's handler is logged, and the program goes on.
    bfs::TApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Bramlow File Sync"));
    // The desktop matches the windows to the menu entry the program installs.
    QGuiApplication::setDesktopFileName(QStringLiteral("bramlow-file-sync"));
    // The list tried is this program's own: the programs it starts (a link's opener) choose theirs.
    if (choosePlatform && displayNamed) qunsetenv("QT_QPA_PLATFORM");
    if (choosePlatform && !commandLine && QGuiApplication::platformName() == QLatin1String("offscreen")) {
        std::fprintf(stderr, "Bramlow File Sync: no display to open the windows on (%s cannot be opened).\n",
                     DisplayNames().constData());
        return 1;
    }

    // A first start finds the program folder seeded with the default settings and language file;
    // stored passwords stay the user's alone.
    bfs::SeedProgramFolder();
    bfs::SecureProgramFolder();
    auto& config = bfs::SysConfig();
    const int loaded = config.Load(std::string(bfs::SETTINGS_FILE_NAME));

    // The instance test comes before any box: a second interactive start only brings the first back.
    std::unique_ptr<bfs::TSingleInstance> instance;
    if (!commandLine) {
        instance = std::make_unique<bfs::TSingleInstance>(QStringLiteral("Bramlow File Sync"));
        if (!instance->Claim()) return 0;
        // Another user's folder is never used: this start runs alone, and says so once.
        if (!instance->Problem().isEmpty()) {
            const QByteArray text = ("The runtime folder cannot be used: " + instance->Problem() +
                                     ". A later start will not find this one, and no task can run "
                                     "until the folder is mended.")
                                        .toUtf8();
            std::fprintf(stderr, "Bramlow File Sync: %s\n", text.constData());
            StartupBox(text.constData());
        }
    }
    if (loaded == 1) {
        StartupBox("Can not Find Config File,Exist!");
        return 1;
    }
    bfs::ReadRegistryInfo();  // a file that cannot be written back still leaves the values read
    if (commandLine) config.CheckVersionVeryDay = 0;
    if (config.OpenLanguage(config.curlang) == 1) {
        StartupBox("Read Languange Error,File not Exist!");
        return 1;
    }

    bfs::TStartForm splash;
    splash.show();
    QCoreApplication::processEvents();
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Bramlow File Sync"));
    bfs::TDM dm;
    // A start that runs a named task never looks for updates.
    dm.DataModuleCreate(!commandLine);
    if (dm.TerminateRequested()) return 0;
    {
        // The splash stays a moment; the event loop runs meanwhile, so nothing waits on a frozen window.
        QEventLoop pause;
        QTimer::singleShot(commandLine ? 0 : 1000, &pause, &QEventLoop::quit);
        pause.exec();
    }
    splash.close();

    bfs::TFMain window;
    // An exception that escaped a step of a run ends that run, so that it writes its record and
    // frees its task, and a command-line instance still ends.
    app.OnException = [&window](QObject* Receiver, const std::string& What) {
        window.Automation->Unexpected(Receiver, What);
    };
    if (instance)
        QObject::connect(instance.get(), &bfs::TSingleInstance::RestoreRequested, &window, [&window] {
            QCoreApplication::postEvent(&window, new bfs::TMessageEvent(bfs::WM_RESTORE_WIN, 0, 0));
        });
#ifdef BFS_TEST_FAULTS
    if (const QByteArray finish = qgetenv("BFS_TEST_FINISH_MS"); !finish.isEmpty())
        window.Automation->Delays.Finish = finish.toInt();
#endif
    window.show();
    window.LoadTaskList(std::string());
    std::optional<std::string> task;
    if (commandLine) task = std::string(argv[1]);
    window.Automation->Start(task);
    const int status = app.exec();
    app.OnException = nullptr;
    // A command-line instance whose window closed before it ended itself (its runs were cancelled)
    // still tells whether they went well.
    return status == 0 && window.Automation->CommandLineFailed() ? 1 : status;
}
