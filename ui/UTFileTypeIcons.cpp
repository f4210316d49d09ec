#include "ui/UTFileTypeIcons.h"

#include "engine/UTPlan.h"
#include "ui/UTImageList.h"

#include <QFileIconProvider>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeDatabase>
#include <QPixmap>

namespace bfs {

QIcon GetFileTypeIcon(const std::string& Ext) {
    if (Ext.size() < 2 || Ext.front() != '.') return {};
    // Only the made-up name's extension is looked at: no file is read.
    const QString name = QStringLiteral("x") + QString::fromStdString(Ext);
    const QMimeType mime = QMimeDatabase().mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    if (!mime.isValid() || mime.isDefault()) return {};
    QIcon icon = QIcon::fromTheme(mime.iconName());
    if (icon.isNull()) icon = QIcon::fromTheme(mime.genericIconName());
    // The desktop's own file icons, where its platform theme offers them.
    if (icon.isNull()) icon = QFileIconProvider().icon(QFileInfo(name));
    return icon;
}

TFileTypeIcons::TFileTypeIcons(TImageList& Images, TLookup Lookup)
    : m_Images(Images), m_Lookup(Lookup ? std::move(Lookup) : TLookup(&bfs::GetFileTypeIcon)) {
    Reset();
}

void TFileTypeIcons::Reset() {
    IconExtensions.clear();
    NoIconExtensions.clear();
    m_Images.Truncate(FIXED_IMAGES);
    // Type icons are numbered from 13 on even when the fixed pictures could not be loaded.
    while (m_Images.Count() < FIXED_IMAGES) {
        QPixmap blank(m_Images.Width(), m_Images.Height());
        blank.fill(Qt::transparent);
        m_Images.Add(blank);
    }
}

int32_t TFileTypeIcons::GetFileTypeIcon(const std::string& Ext) {
    // A name without extension has no type.
    if (Ext.empty() || NoIconExtensions.find(Ext) != std::string::npos) return IMAGE_PLAIN_FILE;
    for (std::size_t i = 0; i < IconExtensions.size(); ++i)
        if (IconExtensions[i] == Ext) return FIXED_IMAGES + static_cast<int32_t>(i);
    if (m_Images.Count() >= MAX_IMAGES) return IMAGE_PLAIN_FILE;
    const QIcon icon = m_Lookup(Ext);
    const qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
    const QPixmap picture =
        icon.isNull() ? QPixmap() : icon.pixmap(QSize(m_Images.Width(), m_Images.Height()), ratio);
    if (picture.isNull()) {
        NoIconExtensions += ',';
        NoIconExtensions += Ext;
        return IMAGE_PLAIN_FILE;
    }
    IconExtensions.push_back(Ext);
    m_Images.Add(picture);
    return FIXED_IMAGES + static_cast<int32_t>(IconExtensions.size() - 1);
}

int32_t TFileTypeIcons::ImageOf(const std::string& Name) {
    return GetFileTypeIcon(ExtractFileExt(Name));
}

}  // namespace bfs
