#include "ui/uF_TastTemplate.h"

#include "model/UTConsts.h"
#include "model/UTPublicFunc.h"
#include "model/UTSysConfig.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/UTWindowChrome.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include <algorithm>

namespace bfs {

namespace {

constexpr int DEFAULT_WIDTH = 260;
constexpr int DEFAULT_HEIGHT = 120;
constexpr int NAME_MAX_LENGTH = 30;
constexpr int BUTTON_WIDTH = 79;  // the faces of DM->bigbutton
constexpr int BUTTON_HEIGHT = 26;

}  // namespace

QWidget* NewDialogButton(QWidget* Parent, const QString& Caption, TImageExButton*& Button, TImageEx*& Label) {
    auto* holder = new QWidget(Parent);
    auto* grid = new QGridLayout(holder);
    grid->setContentsMargins(0, 0, 0, 0);
    Button = new TImageExButton(holder);
    Button->setScaledContents(true);
    Button->setFocusPolicy(Qt::StrongFocus);
    Button->setAccessibleName(Caption);
    Button->setToolTip(Caption);
    Label = new TImageEx(holder);
    Label->setText(Caption);
    Label->setTextFormat(Qt::PlainText);
    Label->setAlignment(Qt::AlignCenter);
    Label->setAttribute(Qt::WA_TransparentForMouseEvents);
    grid->addWidget(Button, 0, 0);
    grid->addWidget(Label, 0, 0);

    const QFontMetrics fm(Label->font());
    const QSize size(std::max(BUTTON_WIDTH, fm.horizontalAdvance(Caption) + 20),
                     std::max(BUTTON_HEIGHT, fm.height() + 8));
    Button->setFixedSize(size);
    Label->setFixedSize(size);

    Button->SetPicAutoChange(true);
    if (DM) {
        Button->SetPicNormal(DM->bigbutton.Pixmap(0));
        Button->SetPicMouseMove(DM->bigbutton.Pixmap(1));
    }
    TImageExButton* b = Button;
    QObject::connect(b, &TImageEx::mouseDown, b, [b] {
        if (DM && b->isEnabled()) b->setPixmap(DM->bigbutton.Pixmap(2));
    });
    // After the click the face of the state the button is in comes back.
    QObject::connect(b, &TImageEx::clicked, b, [b] { b->SetPicState(b->PicState()); });
    Button->SetPicState(isNormal);
    return holder;
}

TF_TastTemplate::TF_TastTemplate(QWidget* Parent) : QDialog(Parent) {
    TitleBar = MakeBorderless(*this, QString::fromUtf8(PROGRAM_NAME), false, true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 10);
    layout->setSpacing(0);
    layout->addWidget(TitleBar);

    auto* body = new QWidget(this);
    body->setObjectName(QStringLiteral("Body"));
    auto* fields = new QVBoxLayout(body);
    fields->setContentsMargins(10, 8, 10, 10);
    fields->setSpacing(4);
    Label1 = new QLabel(body);
    Label1->setTextFormat(Qt::PlainText);
    Label1->setWordWrap(true);
    Edit_name = new QLineEdit(body);
    Edit_name->setMaxLength(NAME_MAX_LENGTH);
    Label1->setBuddy(Edit_name);
    fields->addWidget(Label1);
    fields->addWidget(Edit_name);
    auto* bodyMargins = new QVBoxLayout;
    bodyMargins->setContentsMargins(8, 4, 8, 0);
    bodyMargins->addWidget(body);
    layout->addLayout(bodyMargins, 1);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(8, 8, 8, 0);
    buttons->setSpacing(10);
    buttons->addStretch(1);
    buttons->addWidget(NewDialogButton(this, QStringLiteral("OK"), OKButton, Label2));
    buttons->addWidget(NewDialogButton(this, QStringLiteral("Cancel"), CanceButton, Label3));
    buttons->addStretch(1);
    layout->addLayout(buttons);

    connect(OKButton, &TImageEx::clicked, this, &TF_TastTemplate::BitBtn1Click);
    connect(CanceButton, &TImageEx::clicked, this, &TF_TastTemplate::CanceButtonClick);
    // Enter in the field is OK, as a user expects of a one-field window.
    connect(Edit_name, &QLineEdit::returnPressed, this, &TF_TastTemplate::BitBtn1Click);

    setStyleSheet(QStringLiteral("#Body { background: #FFFFFF; border: 1px solid #D0D7DE; }"));
    setMinimumSize(DEFAULT_WIDTH, DEFAULT_HEIGHT);
    resize(minimumSizeHint().expandedTo(QSize(DEFAULT_WIDTH, DEFAULT_HEIGHT)));
    Edit_name->setFocus();
}

bool TF_TastTemplate::IsTemplateNameValid(const QString& Name) {
    // "." and ".." name no file of their own.
    if (Name == QLatin1String(".") || Name == QLatin1String("..")) return false;
    if (!IsValidFileName(Name.toStdString())) return false;
    return std::none_of(Name.begin(), Name.end(), [](QChar c) {
        return c == QLatin1Char(',') || c.category() == QChar::Other_Control;
    });
}

void TF_TastTemplate::BitBtn1Click() {
    const QString name = QString::fromStdString(Trim(Edit_name->text().toStdString()));
    if (!IsTemplateNameValid(name)) {
        ShowMessageBox(QString::fromStdString(SysConfig().GetText("tasknameerror")),
                       QString::fromUtf8(PROGRAM_NAME), MB_OK | MB_ICONINFORMATION);
        Edit_name->setFocus();
        return;
    }
    done(1);
}

void TF_TastTemplate::CanceButtonClick() {
    done(2);
}

}  // namespace bfs
