#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

class QLabel;
class QListWidget;

namespace bfs {

class TImageEx;
class TImageExButton;
class TTitleBar;

// Lets the user pick one of the saved templates when adding a task from a template. The caller
// fills the list (SetTemplates), puts the heading into Label1, shows the window modally and, on OK
// (result 1), reads SelectedTemplate.
class TF_TemplateList : public QDialog {
    Q_OBJECT

  public:
    explicit TF_TemplateList(QWidget* Parent = nullptr);

    // One line per template name, in the given order: blanks around a name are dropped, empty names
    // are left out, and a name that comes again is listed once. The first line is selected.
    void SetTemplates(const QStringList& Names);
    // The selected line; empty when the list has no line or none is selected.
    QString SelectedTemplate() const;

    void OKButtonClick();     // result 1
    void CanceButtonClick();  // result 2

    TTitleBar* TitleBar = nullptr;  // the title; its close picture (SMCLoseBtn) closes: not OK
    QLabel* Label1 = nullptr;       // the heading
    QListWidget* lb_template = nullptr;
    TImageExButton* OKButton = nullptr;
    TImageEx* OKLabel = nullptr;
    TImageExButton* CanceButton = nullptr;
    TImageEx* CancelLabel = nullptr;

  protected:
    // Enter is OK, as in any list of choices, unless a picture button with the focus takes it.
    void keyPressEvent(QKeyEvent* Event) override;
};

}  // namespace bfs
