#include "ui/uF_TemplateList.h"

#include "model/UTConsts.h"
#include "ui/ImageEx.h"
#include "ui/UTDialogParts.h"
#include "ui/UTWindowChrome.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QSet>
#include <QVBoxLayout>

namespace bfs {

namespace {

constexpr int DEFAULT_WIDTH = 417;
constexpr int DEFAULT_HEIGHT = 349;

}  // namespace

TF_TemplateList::TF_TemplateList(QWidget* Parent) : QDialog(Parent) {
    TitleBar = MakeBorderless(*this, QString::fromUtf8(PROGRAM_NAME), false, true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 10);
    layout->setSpacing(0);
    layout->addWidget(TitleBar);

    auto* body = new QVBoxLayout;
    body->setContentsMargins(12, 4, 12, 0);
    body->setSpacing(4);
    Label1 = new QLabel(this);
    Label1->setTextFormat(Qt::PlainText);
    Label1->setWordWrap(true);
    lb_template = new QListWidget(this);
    lb_template->setSelectionMode(QAbstractItemView::SingleSelection);
    lb_template->setObjectName(QStringLiteral("lb_template"));
    Label1->setBuddy(lb_template);
    body->addWidget(Label1);
    body->addWidget(lb_template, 1);
    layout->addLayout(body, 1);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(12, 8, 12, 0);
    buttons->setSpacing(10);
    buttons->addStretch(1);
    buttons->addWidget(NewDialogButton(this, QStringLiteral("OK"), OKButton, OKLabel));
    buttons->addWidget(NewDialogButton(this, QStringLiteral("Cancel"), CanceButton, CancelLabel));
    buttons->addStretch(1);
    layout->addLayout(buttons);

    connect(OKButton, &TImageEx::clicked, this, &TF_TemplateList::OKButtonClick);
    connect(CanceButton, &TImageEx::clicked, this, &TF_TemplateList::CanceButtonClick);
    // A double click or Enter on a line chooses it, as in any list of choices.
    connect(lb_template, &QListWidget::itemActivated, this, [this] { OKButtonClick(); });

    setStyleSheet(QStringLiteral("#lb_template { background: #FFFFFF; border: 1px solid #D0D7DE; }"));
    setMinimumSize(DEFAULT_WIDTH, DEFAULT_HEIGHT);
    resize(DEFAULT_WIDTH, DEFAULT_HEIGHT);
    lb_template->setFocus();
}

void TF_TemplateList::SetTemplates(const QStringList& Names) {
    lb_template->clear();
    QSet<QString> listed;
    for (const QString& n : Names) {
        const QString name = n.trimmed();
        if (name.isEmpty() || listed.contains(name)) continue;
        listed.insert(name);
        lb_template->addItem(name);
    }
    // The first line is chosen as the list opens, so that Enter or OK takes it at once.
    lb_template->clearSelection();
    lb_template->setCurrentRow(lb_template->count() > 0 ? 0 : -1);
}

QString TF_TemplateList::SelectedTemplate() const {
    const QList<QListWidgetItem*> selected = lb_template->selectedItems();
    return selected.isEmpty() ? QString() : selected.first()->text();
}

void TF_TemplateList::keyPressEvent(QKeyEvent* Event) {
    const bool enter = Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter;
    if (enter && (Event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        Event->accept();
        // The list may have chosen its line already.
        if (isVisible()) OKButtonClick();
        return;
    }
    QDialog::keyPressEvent(Event);
}

void TF_TemplateList::OKButtonClick() {
    done(1);
}

void TF_TemplateList::CanceButtonClick() {
    done(2);
}

}  // namespace bfs
