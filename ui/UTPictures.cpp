#include "ui/UTPictures.h"

#include "model/UTMyException.h"
#include "ui/ImageEx.h"

#include <QFile>
#include <QGuiApplication>
#include <QPixmapCache>

#include <set>

namespace bfs {

QPixmap LoadPicture(const QString& Name) {
    const QString base = QStringLiteral(":/pictures/") + Name;
    const bool sharp =
        qApp && qApp->devicePixelRatio() > 1.0 && QFile::exists(base + QStringLiteral("@2x.png"));
    const QString file = base + (sharp ? QStringLiteral("@2x.png") : QStringLiteral(".png"));
    // Buttons load their faces again on every enter and leave of the mouse.
    QPixmap picture;
    if (QPixmapCache::find(file, &picture)) return picture;
    if (!picture.load(file)) return {};
    picture.setDevicePixelRatio(sharp ? 2.0 : 1.0);
    QPixmapCache::insert(file, picture);
    return picture;
}

void LoadJpegResource(TImageEx* Image, const std::string& Name, const std::string& /*Type*/) {
    if (!Image || Image->Tag == 1) return;
    const QPixmap picture = LoadPicture(QString::fromStdString(Name));
    if (picture.isNull()) {
        // Once per name: a missing face would otherwise be logged at every move of the mouse. Windows
        // load pictures on the user-interface thread only.
        static std::set<std::string> logged;
        if (logged.insert(Name).second)
            TMyException::Instance().LogError("LoadJpegResource", "EResNotFound",
                                              "Resource " + Name + " not found");
        return;
    }
    Image->clear();
    Image->setPixmap(picture);
}

}  // namespace bfs
