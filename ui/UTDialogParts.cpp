#include "ui/UTDialogParts.h"

#include "ui/DMUnit.h"
#include "ui/ImageEx.h"

#include <QColor>
#include <QFontMetrics>
#include <QGridLayout>
#include <QPainter>
#include <QStackedWidget>
#include <QWidget>

#include <algorithm>

namespace bfs {

namespace {

// The group of the page tabs: selecting one returns the others of its row to normal.
constexpr int PAGE_TAB_GROUP = 1;

}  // namespace

QPixmap LighterFace(const QPixmap& Face) {
    if (Face.isNull()) return Face;
    QPixmap result = Face;
    QPainter p(&result);
    p.setCompositionMode(QPainter::CompositionMode_SourceAtop);
    p.fillRect(QRectF(QPointF(0, 0), result.deviceIndependentSize()), QColor(255, 255, 255, 20));
    return result;
}

void StackFace(QWidget* Parent, QGridLayout* Grid, int Row, int Column, TImageExButton*& Button,
               TImageEx*& Caption) {
    Button = new TImageExButton(Parent);
    Button->setScaledContents(true);
    Button->setFocusPolicy(Qt::StrongFocus);
    Caption = new TImageEx(Parent);
    // Language texts are shown as written, never read as markup.
    Caption->setTextFormat(Qt::PlainText);
    Caption->setAlignment(Qt::AlignCenter);
    Caption->setAttribute(Qt::WA_TransparentForMouseEvents);
    Grid->addWidget(Button, Row, Column);
    Grid->addWidget(Caption, Row, Column);
}

QWidget* FaceHolder(QWidget* Parent, TImageExButton*& Button, TImageEx*& Caption) {
    auto* holder = new QWidget(Parent);
    auto* grid = new QGridLayout(holder);
    grid->setContentsMargins(0, 0, 0, 0);
    StackFace(holder, grid, 0, 0, Button, Caption);
    return holder;
}

void FitFace(TImageExButton* Button, TImageEx* Caption, int Width, int Height) {
    const QFontMetrics fm(Caption->font());
    const QSize size(std::max(Width, fm.horizontalAdvance(Caption->text()) + 20),
                     std::max(Height, fm.height() + 8));
    Button->setFixedSize(size);
    Caption->setFixedSize(size);
    Button->setAccessibleName(Caption->text());
    Button->setToolTip(Caption->text());
}

void UseBigButtonFaces(TImageExButton* Button) {
    Button->SetPicAutoChange(true);
    QObject::connect(Button, &TImageEx::clicked, Button,
                     [Button] { Button->SetPicState(Button->PicState()); });
    if (!DM) return;
    Button->SetPicNormal(DM->bigbutton.Pixmap(0));
    Button->SetPicMouseMove(DM->bigbutton.Pixmap(1));
    QObject::connect(Button, &TImageEx::mouseDown, Button, [Button] {
        if (DM && Button->isEnabled()) Button->setPixmap(DM->bigbutton.Pixmap(2));
    });
}

void UseTabFaces(TImageExButton* Tab) {
    Tab->SetPicAutoChange(true);
    if (!DM) return;
    Tab->SetPicNormal(DM->TabIL.Pixmap(0));
    Tab->SetPicMouseMove(LighterFace(DM->TabIL.Pixmap(0)));
    Tab->SetPicSelect(DM->TabIL.Pixmap(1));
}

void UsePageTabFaces(TImageExButton* Tab) {
    Tab->SetGroupIndex(PAGE_TAB_GROUP);
    Tab->SetClickAutoChange(true);
    UseTabFaces(Tab);
}

QWidget* NewPageTabRow(QWidget* Parent, std::initializer_list<std::pair<TImageExButton**, TImageEx**>> Tabs) {
    auto* row = new QWidget(Parent);
    auto* grid = new QGridLayout(row);
    grid->setContentsMargins(12, 6, 12, 0);
    grid->setHorizontalSpacing(2);
    int column = 0;
    for (auto [tab, caption] : Tabs) {
        StackFace(row, grid, 0, column++, *tab, *caption);
        UsePageTabFaces(*tab);
    }
    grid->setColumnStretch(column, 1);
    return row;
}

void ShowPageTab(std::span<TImageExButton* const> Tabs, QStackedWidget* Pages, TImageExButton*& Current,
                 TImageExButton* Button) {
    const auto found = std::find(Tabs.begin(), Tabs.end(), Button);
    if (!Button || found == Tabs.end() || Button == Current) return;
    if (Current) Current->SetPicState(isNormal);
    Button->SetPicState(isSelect);
    Current = Button;
    Pages->setCurrentIndex(static_cast<int>(found - Tabs.begin()));
}

QWidget* NewDialogButton(QWidget* Parent, const QString& Text, TImageExButton*& Button, TImageEx*& Caption) {
    QWidget* holder = FaceHolder(Parent, Button, Caption);
    Caption->setText(Text);
    FitFace(Button, Caption, BUTTON_WIDTH, BUTTON_HEIGHT);
    UseBigButtonFaces(Button);
    Button->SetPicState(isNormal);
    return holder;
}

// The text said when a typed folder address fits no kind of storage.
QString FolderFormError(const QString& Address) {
    return QStringLiteral(
               "This folder address is of no form Bramlow File Sync knows:\n%1\n\nType a path that "
               "begins with \"/\", a share (\\\\host\\share or smb://host/share), an ftp://, http:// "
               "or https:// address, or a device folder (wm:device\\folder); or choose the folder with "
               "Browse.")
        .arg(Address);
}

}  // namespace bfs
