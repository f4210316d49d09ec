#include "ui/uF_TastTemplate.h"

#include "model/UTConsts.h"
#include "model/UTPublicFunc.h"
#include "model/UTSysConfig.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/UTDialogParts.h"
#include "ui/UTWindowChrome.h"

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

}  // namespace

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
