#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QStackedWidget;
class QTableWidget;
class QToolButton;

namespace bfs {

class TImageEx;
class TImageExButton;
class TTitleBar;

// The program options window: edits the settings of SysConfig() on two pages (General, Global
// Filter), one control per settings key. OK and Apply store them and write "Tessmarin.ini".
//
// Applying checks every control before anything changes: a global pattern holding "," (the list
// separator of the file) and a language file that cannot be opened are refused with a box. A
// failed write puts the settings in memory (and the language file) back as they were. So the
// settings always hold what the file was last given.
//
// The start-with-session box shows whether the session starts the program (its autostart entry);
// OK and Apply make the entry so, together with the settings: a change of the entry that did not
// take is reported and nothing is stored, and a failed write of the settings puts the entry back.
// Cancel leaves the entry as it was, as everything else.
//
// exec() gives 1 after a successful OK, 0 otherwise.
class TFFileSyncOptions : public QDialog {
    Q_OBJECT

  public:
    explicit TFFileSyncOptions(QWidget* Parent = nullptr);
    ~TFFileSyncOptions() override;

    // Stores the controls into the settings and writes them; false, with a box, when a value was
    // refused or the write failed (the settings are then as they were).
    bool ApplyOptions();

    // What the window's buttons do; public so that callers and tests can press them.
    void BitBtn_okClick();
    void BitBtn_ApplyClick();
    void CancelButtonClick();
    void bt_addexcludeClick();
    void bt_delexcludeClick();
    void bt_addincludeClick();
    void bt_delincludeClick();
    // Shows the page of a tab button (select1Button or select2button).
    void SelectTab(TImageExButton* Button);
    TImageExButton* CurrentTab() const { return m_CurrentTab; }

    // Controls, named as the window's form names them.
    TTitleBar* TitleBar = nullptr;
    TImageEx* SMCLoseBtn = nullptr;
    QStackedWidget* Notebook1 = nullptr;
    TImageExButton* select1Button = nullptr;
    TImageExButton* select2button = nullptr;
    TImageEx* ts_General = nullptr;
    TImageEx* ts_filter = nullptr;
    TImageExButton* OkButton = nullptr;
    TImageExButton* CancelButton = nullptr;
    TImageExButton* applyButton = nullptr;
    TImageEx* Label_ok = nullptr;
    TImageEx* Label_cancel = nullptr;
    TImageEx* Label29 = nullptr;

    // General
    QLabel* lb_language = nullptr;
    QComboBox* cb_languagelist = nullptr;
    QCheckBox* cb_SF = nullptr;
    QCheckBox* cb_checkversion = nullptr;
    QCheckBox* cb_savelog = nullptr;
    QCheckBox* cb_hidetray = nullptr;
    QCheckBox* cb_showicon = nullptr;
    QCheckBox* cb_autoclose = nullptr;

    // Global Filter
    QLabel* lb_exclude = nullptr;
    QLabel* lb_include = nullptr;
    QTableWidget* vedit_exclude = nullptr;
    QTableWidget* vedit_include = nullptr;
    QToolButton* bt_addexclude = nullptr;
    QToolButton* bt_delexclude = nullptr;
    QToolButton* bt_addinclude = nullptr;
    QToolButton* bt_delinclude = nullptr;

  protected:
    void showEvent(QShowEvent* Event) override;
    // Enter is OK wherever the focused control does not take it itself (a pattern being typed, a
    // picture button).
    void keyPressEvent(QKeyEvent* Event) override;

  private:
    void BuildControls();
    QWidget* BuildGeneralPage();
    QWidget* BuildFilterPage();
    void FormShow();
    void LoadLanguageTexts();
    void LoadOptionsToForm();
    void Refuse(const QString& Message, QWidget* Focus);
    // Makes the autostart entry what the box asks for, when that differs from what it showed;
    // false, after a box saying why, when the entry could not be changed.
    bool ApplyAutostart();

    // Whether the session started the program when the box was last loaded or applied.
    bool m_StartShown = false;

    TImageExButton* m_CurrentTab = nullptr;
    bool m_Shown = false;
};

}  // namespace bfs
