#include "ui/FAbout.h"

#include "model/UTConsts.h"
#include "model/UTRegistry.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/UTDialogParts.h"
#include "ui/UTPictures.h"
#include "ui/UTWebPage.h"
#include "ui/UTWindowChrome.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace bfs {

namespace {

constexpr int DEFAULT_WIDTH = 493;
constexpr int DEFAULT_HEIGHT = 350;
const QColor LINK(0x2F, 0x6F, 0xDE);

QLabel* NewText(QWidget* Parent, const QString& Text = QString()) {
    auto* label = new QLabel(Text, Parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// A link: blue, underlined, under a pointing hand; the keyboard reaches it and Space or Enter
// follows it, as a click does.
TImageEx* NewLink(QWidget* Parent) {
    auto* link = new TImageEx(Parent);
    link->setTextFormat(Qt::PlainText);
    link->setCursor(Qt::PointingHandCursor);
    link->setFocusPolicy(Qt::StrongFocus);
    QFont font = link->font();
    font.setUnderline(true);
    link->setFont(font);
    QPalette palette = link->palette();
    palette.setColor(QPalette::WindowText, LINK);
    link->setPalette(palette);
    return link;
}

}  // namespace

TAboutBox::TAboutBox(QWidget* Parent) : QDialog(Parent) {
    OpenLink = [](const std::string& Address) { OpenURL(0, Address); };

    TitleBar = MakeBorderless(*this, QString::fromUtf8(PROGRAM_NAME), false, true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 10);
    layout->setSpacing(0);
    layout->addWidget(TitleBar);

    // The background takes the clicks that no control takes: a click on it closes the window.
    Image1 = new TImageEx(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    auto* body = new QVBoxLayout(Image1);
    body->setContentsMargins(28, 24, 28, 20);
    body->setSpacing(14);

    body->addStretch(1);
    auto* heading = new QHBoxLayout;
    heading->setSpacing(12);
    auto* icon = new QLabel(Image1);
    icon->setPixmap(LoadPicture(QStringLiteral("AppIcon")));
    lb_Version = NewText(Image1);
    QFont bold = lb_Version->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.4);
    lb_Version->setFont(bold);
    heading->addWidget(icon);
    heading->addWidget(lb_Version, 1);
    body->addLayout(heading);

    auto* links = new QGridLayout;
    links->setHorizontalSpacing(10);
    links->setVerticalSpacing(8);
    lb_website = NewText(Image1, QStringLiteral("Website:"));
    lb_Email = NewText(Image1, QStringLiteral("Email Us:"));
    lb_website2 = NewLink(Image1);
    lb_Email2 = NewLink(Image1);
    links->addWidget(lb_website, 0, 0);
    links->addWidget(lb_website2, 0, 1, Qt::AlignLeft);
    links->addWidget(lb_Email, 1, 0);
    links->addWidget(lb_Email2, 1, 1, Qt::AlignLeft);
    links->setColumnStretch(1, 1);
    body->addLayout(links);
    body->addStretch(1);

    auto* framed = new QVBoxLayout;
    framed->setContentsMargins(8, 4, 8, 0);
    framed->addWidget(Image1, 1);
    layout->addLayout(framed, 1);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setObjectName(QStringLiteral("Separator"));
    auto* lineMargins = new QVBoxLayout;
    lineMargins->setContentsMargins(8, 8, 8, 0);
    lineMargins->addWidget(line);
    layout->addLayout(lineMargins);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(8, 8, 8, 0);
    buttons->addStretch(1);
    buttons->addWidget(NewDialogButton(this, QStringLiteral("OK"), OKButton, OKLabel));
    buttons->addStretch(1);
    layout->addLayout(buttons);

    connect(Image1, &TImageEx::clicked, this, &TAboutBox::Image1Click);
    connect(OKButton, &TImageEx::clicked, this, &TAboutBox::OKButtonClick);
    connect(lb_website2, &TImageEx::clicked, this, &TAboutBox::lb_website2Click);
    connect(lb_Email2, &TImageEx::clicked, this, &TAboutBox::lb_Email2Click);

    setStyleSheet(
        QStringLiteral("#Image1 { background: #FFFFFF; border: 1px solid #D0D7DE; }"
                       "#Separator { color: #D0D7DE; }"));
    setMinimumSize(DEFAULT_WIDTH, DEFAULT_HEIGHT);
    resize(DEFAULT_WIDTH, DEFAULT_HEIGHT);
    OKButton->setFocus();
}

void TAboutBox::showEvent(QShowEvent* Event) {
    FormShow();
    QDialog::showEvent(Event);
}

void TAboutBox::FormShow() {
    lb_Version->setText(QString::fromUtf8(PROGRAM_NAME) + QLatin1Char(' ') +
                        QString::fromUtf8(ProgramVersion()));
    const QString page = QString::fromStdString(RegistryInfo.HomePage);
    lb_website2->setText(page);
    lb_website2->setToolTip(page);
    lb_website2->setAccessibleName(page);
    const QString mail = QString::fromUtf8(CONTACT_EMAIL);
    lb_Email2->setText(mail);
    lb_Email2->setToolTip(mail);
    lb_Email2->setAccessibleName(mail);
}

void TAboutBox::OKButtonClick() {
    done(1);
}

void TAboutBox::Image1Click() {
    close();
}

void TAboutBox::lb_website2Click() {
    if (OpenLink) OpenLink(RegistryInfo.HomePage);
}

void TAboutBox::lb_Email2Click() {
    if (OpenLink) OpenLink(std::string("mailto:") + CONTACT_EMAIL);
}

}  // namespace bfs
