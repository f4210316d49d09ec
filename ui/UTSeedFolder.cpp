#include "ui/UTSeedFolder.h"

#include "model/UTMyException.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace bfs {

int SeedProgramFolder() {
    const std::string folder = GetProgramFolder();
    if (folder.empty()) return 1;
    int failures = 0;
    QDirIterator it(QStringLiteral(":/defaults"), QDir::Files);
    while (it.hasNext()) {
        const QString resource = it.next();
        const std::string target = folder + QFileInfo(resource).fileName().toStdString();
        if (FileExists(target)) continue;
        QFile in(resource);
        if (!in.open(QIODevice::ReadOnly)) {
            ++failures;
            continue;
        }
        const QByteArray bytes = in.readAll();
        if (int err = WriteFileAtomic(target, std::string_view(bytes.constData(), size_t(bytes.size())));
            err != 0) {
            TMyException::Instance().LogError("Seed program folder", "EInOutError",
                                              target + ": " + std::strerror(err));
            ++failures;
        }
    }
    return failures;
}

}  // namespace bfs
