#include "ui/UTImageList.h"

#include <QFile>
#include <QGuiApplication>

namespace bfs {

bool TImageList::LoadStrip(const QString& Name) {
    const QString base = QStringLiteral(":/pictures/") + Name;
    QPixmap strip(base + QStringLiteral(".png"));
    if (strip.isNull() || strip.height() != m_Height || strip.width() < m_Width) return false;
    QPixmap sharp;
    const QString sharpName = base + QStringLiteral("@2x.png");
    if (qApp && qApp->devicePixelRatio() > 1.0 && QFile::exists(sharpName)) sharp = QPixmap(sharpName);
    const bool useSharp =
        !sharp.isNull() && sharp.height() == 2 * m_Height && sharp.width() == 2 * strip.width();
    m_Images.clear();
    for (int x = 0; x + m_Width <= strip.width(); x += m_Width) {
        if (useSharp) {
            QPixmap p = sharp.copy(2 * x, 0, 2 * m_Width, 2 * m_Height);
            p.setDevicePixelRatio(2.0);
            m_Images.push_back(p);
        } else {
            m_Images.push_back(strip.copy(x, 0, m_Width, m_Height));
        }
    }
    return true;
}

QPixmap TImageList::Pixmap(int Index) const {
    if (Index < 0 || Index >= Count()) return {};
    return m_Images[static_cast<size_t>(Index)];
}

int TImageList::Add(const QPixmap& Picture) {
    const QSize logical = Picture.deviceIndependentSize().toSize();
    if (logical == QSize(m_Width, m_Height)) {
        m_Images.push_back(Picture);
    } else {
        const qreal ratio = Picture.devicePixelRatio();
        QPixmap scaled =
            Picture.scaled(QSize(m_Width, m_Height) * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        scaled.setDevicePixelRatio(ratio);
        m_Images.push_back(scaled);
    }
    return Count() - 1;
}

void TImageList::Truncate(int Count) {
    if (Count >= 0 && Count < this->Count()) m_Images.resize(static_cast<size_t>(Count));
}

}  // namespace bfs
