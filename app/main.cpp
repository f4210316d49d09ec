// The program: "bramlow-file-sync" opens the main window (one interactive instance per user);
// "bramlow-file-sync <task name>" runs the tasks of that name as their settings say, without a
// person, and ends when they have ended (status 0 when every run succeeded, 1 otherwise).

#include "model/UTConsts.h"
#include "model/UTRegistry.h"
#include "model/UTSysConfig.h"
#include "platform/UTFolders.h"
#include "ui/DMUnit.h"
#include "ui/StartUnit.h"
#include "ui/UFMain.h"
#include "ui/UTAutomation.h"
#include "ui/UTQtNotifyTarget.h"
#include "ui/UTSeedFolder.h"
#include "ui/UTSingleInstance.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>

namespace {

// A box of the start-up, shown before any language file is open.
void StartupBox(const char* Text) {
    bfs::ShowMessageBox(QString::fromUtf8(Text), QStringLiteral("Tip"), bfs::MB_OK);
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Bramlow File Sync"));
    const bool commandLine = argc > 1;

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
    if (instance)
        QObject::connect(instance.get(), &bfs::TSingleInstance::RestoreRequested, &window, [&window] {
            QCoreApplication::postEvent(&window, new bfs::TMessageEvent(bfs::WM_RESTORE_WIN, 0, 0));
        });
    window.show();
    window.LoadTaskList(std::string());
    std::optional<std::string> task;
    if (commandLine) task = std::string(argv[1]);
    window.Automation->Start(task);
    return app.exec();
}
