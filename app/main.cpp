#include "model/UTRegistry.h"
#include "model/UTSysConfig.h"
#include "platform/UTFolders.h"
#include "ui/UTSeedFolder.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Bramlow File Sync"));

    bfs::SeedProgramFolder();
    auto& config = bfs::SysConfig();
    if (config.Load("Tessmarin.ini") != 0) {
        std::fprintf(stderr, "Can not Find Config File,Exist!\n");
        return 1;
    }
    if (config.OpenLanguage(config.curlang) != 0) {
        std::fprintf(stderr, "Read Languange Error,File not Exist!\n");
        return 1;
    }
    bfs::ReadRegistryInfo();  // a file that cannot be written back still leaves the values read
    std::printf("Bramlow File Sync: settings and language file loaded from %s\n",
                bfs::GetProgramFolder().c_str());
    std::printf("The program's windows are not built yet; nothing more to show.\n");
    return 0;
}
