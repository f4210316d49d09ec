#include "ui/StartUnit.h"

#include "ui/UTPictures.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

namespace bfs {

TStartForm::TStartForm(QWidget* Parent)
    : QWidget(Parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setAttribute(Qt::WA_TranslucentBackground, true);
    setFixedSize(452, 252);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TStartForm::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath outline;
    outline.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 9, 9);
    p.fillPath(outline, Qt::white);
    p.setPen(QPen(QColor(0xD0, 0xD7, 0xDE), 1.0));
    p.drawPath(outline);
    // The program's picture, large, beside its name.
    const QPixmap icon = LoadPicture(QStringLiteral("AppIcon"));
    const QRect iconRect(48, (height() - 96) / 2, 96, 96);
    if (!icon.isNull()) p.drawPixmap(iconRect, icon);
    QFont title = font();
    title.setPointSizeF(title.pointSizeF() * 1.9);
    title.setBold(true);
    p.setFont(title);
    p.setPen(QColor(0x1F, 0x23, 0x28));
    p.drawText(QRect(iconRect.right() + 24, 0, width() - iconRect.right() - 40, height()),
               Qt::AlignVCenter | Qt::AlignLeft | Qt::TextWordWrap, QStringLiteral("Bramlow File Sync"));
}

}  // namespace bfs
