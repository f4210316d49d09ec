#include "UiTestMain.h"
#include "model/UTIniFile.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "model/UTSysConfig.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/UFFileSyncOptions.h"
#include "ui/UFMain.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>

using namespace bfs;
namespace fs = std::filesystem;

namespace {

// The settings file every test starts from, in file order.
const char* const INITIAL[] = {"curlang=opt.lng",  "languages=opt.lng,de.lng,missing.lng",
                               "WindowsStart=0",   "CheckVersionVeryDay=0",
                               "CreateFolder=0",   "SaveLog=0",
                               "HideTaskToTray=0", "ShowTrayIcon=0",
                               "AutoClose=0",      "CompareFile=cmp",
                               "IncludeFilter=",   "ExcludeFilter=*.old,",
                               "TemplateList=t1",  "IsFirst=1"};

// The settings file's text: INITIAL with the "key=value" lines of Changed in place of their keys.
std::string SettingsText(const std::vector<std::string>& Changed = {}) {
    std::string text = "[filesync]\r\n";
    for (const std::string line : INITIAL) {
        const std::string key = line.substr(0, line.find('=') + 1);
        const auto changed = std::find_if(Changed.begin(), Changed.end(),
                                          [&](const std::string& c) { return c.starts_with(key); });
        text += (changed == Changed.end() ? line : *changed) + "\r\n";
    }
    return text;
}

std::string SettingsPath() {
    return GetProgramFolder() + "Tessmarin.ini";
}

std::string ReadText(const std::string& Path) {
    std::string data;
    ReadWholeFile(Path, data);
    return data;
}

void SetRows(QTableWidget* Editor, const QStringList& Rows) {
    Editor->setRowCount(0);
    for (const QString& text : Rows) {
        Editor->insertRow(Editor->rowCount());
        Editor->setItem(Editor->rowCount() - 1, 0, new QTableWidgetItem(text));
    }
}

// The settings the window edits, one "name=value" line each, so a difference names its field.
QStringList Settings() {
    const TSysConfig& c = SysConfig();
    QStringList f{QString::fromStdString("curlang=" + c.curlang)};
    for (int32_t v :
         {c.WindowsStart, c.CheckVersionVeryDay, c.SaveLog, c.HideTaskToTray, c.ShowTrayIcon, c.AutoClose})
        f << QString::number(v);
    for (const auto& p : c.ExcludeFilter) f << QString::fromStdString("Exclude=" + p);
    for (const auto& p : c.IncludeFilter) f << QString::fromStdString("Include=" + p);
    return f;
}

}  // namespace

class OptionsTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_Home;
    std::unique_ptr<TIniFile> m_OldLanguage;
    std::string m_OldCurlang, m_OldLanguages;
    std::unique_ptr<TFFileSyncOptions> m_Window;
    QStringList m_Boxes;

    TFFileSyncOptions& Open() {
        m_Window = std::make_unique<TFFileSyncOptions>();
        m_Window->show();
        return *m_Window;
    }
    std::string Entry() const { return m_Home.path().toStdString() + "/autostart/bramlow-file-sync.desktop"; }

  private slots:
    void initTestCase() {
        qputenv("XDG_CONFIG_HOME", m_Home.path().toUtf8());
        QCOMPARE(WriteFileAtomic(GetProgramFolder() + "opt.lng",
                                 "[title]\nlanguage=Language\nfiltercommaerror=Comma\nlangopenerror=No "
                                 "language\nsaveoptionserror=Not saved\nautostarterror=No autostart\n"),
                 0);
        QCOMPARE(WriteFileAtomic(GetProgramFolder() + "de.lng", "[title]\nlanguage=Sprache\n"), 0);
        m_OldLanguage = std::move(SysConfig().LangFile);
        m_OldCurlang = SysConfig().curlang;
        m_OldLanguages = SysConfig().languages;
        MessageBoxFunc = [this](const QString& Text, const QString&, int) {
            m_Boxes << Text;
            return IDOK;
        };
    }
    void cleanupTestCase() {
        SysConfig().LangFile = std::move(m_OldLanguage);
        SysConfig().curlang = m_OldCurlang;
        SysConfig().languages = m_OldLanguages;
        MessageBoxFunc = nullptr;
    }
    void init() {
        fs::remove_all(m_Home.path().toStdString() + "/autostart");
        fs::remove_all(SettingsPath());
        fs::remove(TMyException::LogFileName());
        QCOMPARE(WriteFileAtomic(SettingsPath(), SettingsText()), 0);
        QCOMPARE(SysConfig().Load("Tessmarin.ini"), 0);
        QCOMPARE(SysConfig().OpenLanguage("opt.lng"), 0);
        m_Boxes.clear();
    }
    void cleanup() { m_Window.reset(); }

    void okAndApplyWriteEveryKeyOfTheWindow() {
        const struct {
            const char* Name;
            std::function<void()> Before;  // on the settings, before the window opens
            std::function<void(TFFileSyncOptions&)> Edit;
            std::vector<std::string> Written;
        } rows[] = {
            {"nothing changed", nullptr, nullptr, {}},
            {"every box",
             nullptr,
             [](TFFileSyncOptions& w) {
                 for (QCheckBox* b : {w.cb_SF, w.cb_checkversion, w.cb_savelog, w.cb_hidetray, w.cb_showicon,
                                      w.cb_autoclose})
                     b->setChecked(true);
             },
             {"WindowsStart=1", "CheckVersionVeryDay=1", "SaveLog=1", "HideTaskToTray=1", "ShowTrayIcon=1",
              "AutoClose=1"}},
            {"blank rows dropped, patterns kept as typed",
             nullptr,
             [](TFFileSyncOptions& w) {
                 SetRows(w.vedit_exclude, {"a", " ", "", "b*"});
                 SetRows(w.vedit_include, {"*.doc", "x y"});
             },
             {"ExcludeFilter=a,b*,", "IncludeFilter=*.doc,x y,"}},
            {"emptied list",
             nullptr,
             [](TFFileSyncOptions& w) { w.bt_delexcludeClick(); },
             {"ExcludeFilter="}},
            // A run for a named task clears the daily check for itself; saving keeps the user's choice.
            {"version check of a command-line run",
             [] {
                 SysConfig().CheckVersionVeryDay = 1;
                 QCOMPARE(SysConfig().Save(), 0);
                 SysConfig().CheckVersionVeryDay = 0;
             },
             nullptr,
             {"CheckVersionVeryDay=1"}},
        };
        for (bool ok : {true, false}) {
            for (const auto& row : rows) {
                init();
                if (row.Before) row.Before();
                TFFileSyncOptions& w = Open();
                if (w.vedit_exclude->rowCount() > 0) w.vedit_exclude->setCurrentCell(0, 0);
                if (row.Edit) row.Edit(w);
                if (ok) {
                    w.OkButton->Click();
                    QVERIFY2(w.result() == 1 && !w.isVisible(), row.Name);
                } else {
                    w.applyButton->Click();
                    QVERIFY2(w.isVisible(), row.Name);
                    w.CancelButton->Click();  // keeps what Apply stored
                }
                QCOMPARE(ReadText(SettingsPath()), SettingsText(row.Written));
                QVERIFY2(m_Boxes.isEmpty(), row.Name);
                // The autostart entry goes with the box's key.
                const bool start =
                    std::count(row.Written.begin(), row.Written.end(), std::string("WindowsStart=1")) > 0;
                QVERIFY2(fs::exists(Entry()) == start, row.Name);
            }
        }
    }

    // The box changes the autostart entry with OK or Apply, never on its own: Cancel leaves the entry
    // as it was. A change that did not take is reported and nothing is stored; a failed write of the
    // settings puts the entry back.
    void startAtLogInActsOnlyOnOkAndApply() {
        enum TPress { OK, APPLY, CANCEL };
        const struct {
            const char* Name;
            bool EntryBefore;
            std::function<void(const std::string& Entry)> Break;  // before the press
            TPress Press;
            int EntryAfter;       // GetRunAtStartup
            const char* Written;  // the key written, nullptr: the file as it was
            const char* Box;      // the start of the box shown, nullptr: none
        } rows[] = {
            {"on, cancelled", false, nullptr, CANCEL, 0, nullptr, nullptr},
            {"off, cancelled", true, nullptr, CANCEL, 1, nullptr, nullptr},
            {"on, OK", false, nullptr, OK, 1, "WindowsStart=1", nullptr},
            {"off, OK", true, nullptr, OK, 0, "WindowsStart=0", nullptr},
            {"on, applied", false, nullptr, APPLY, 1, "WindowsStart=1", nullptr},
            // A file where the autostart folder belongs.
            {"cannot write", false,
             [](const std::string& E) {
                 QCOMPARE(WriteFileAtomic(fs::path(E).parent_path().string(), "x"), 0);
             },
             OK, 0, nullptr, "No autostart\r"},
            // A folder where the settings file belongs.
            {"settings not written", false,
             [](const std::string&) {
                 fs::remove(SettingsPath());
                 QVERIFY(fs::create_directory(SettingsPath()));
             },
             OK, 0, nullptr, "Not saved\r"},
        };
        for (const auto& row : rows) {
            init();
            if (row.EntryBefore) {
                QCOMPARE(SetRunAtStartup("Bramlow File Sync", "on"), 0);
                SysConfig().WindowsStart = 1;
                QCOMPARE(SysConfig().Save(), 0);
            }
            const std::string fileBefore = ReadText(SettingsPath());
            TFFileSyncOptions& w = Open();
            QVERIFY2(w.cb_SF->isChecked() == row.EntryBefore, row.Name);
            w.cb_SF->click();
            QVERIFY2(GetRunAtStartup("Bramlow File Sync") == (row.EntryBefore ? 1 : 0), row.Name);
            if (row.Break) row.Break(Entry());
            (row.Press == OK ? w.OkButton : row.Press == APPLY ? w.applyButton : w.CancelButton)->Click();
            QVERIFY2(GetRunAtStartup("Bramlow File Sync") == row.EntryAfter, row.Name);
            if (row.Box) {
                QVERIFY2(m_Boxes.size() == 1 && m_Boxes[0].startsWith(row.Box), row.Name);
                QVERIFY2(w.isVisible(), row.Name);
                QVERIFY2(SysConfig().WindowsStart == (row.EntryBefore ? 1 : 0), row.Name);
                continue;
            }
            QVERIFY2(m_Boxes.isEmpty(), row.Name);
            const std::string expected = row.Written ? SettingsText({row.Written}) : fileBefore;
            QVERIFY2(ReadText(SettingsPath()) == expected, row.Name);
            // Opened again, the box shows what the session will do.
            QVERIFY2(Open().cb_SF->isChecked() == (row.EntryAfter == 1), row.Name);
        }
    }

    // Enter is OK except where a pattern is typed; Tab walks the page as it reads.
    void keyboard() {
        TFFileSyncOptions& w = Open();
        QWidget* at = w.cb_languagelist;
        for (QWidget* next : {static_cast<QWidget*>(w.cb_languagelist), static_cast<QWidget*>(w.cb_SF),
                              static_cast<QWidget*>(w.cb_checkversion)}) {
            QCOMPARE(at, next);
            at = at->nextInFocusChain();
            while (at->focusPolicy() == Qt::NoFocus) at = at->nextInFocusChain();
        }
        w.SelectTab(w.select2button);
        w.vedit_exclude->setFocus();
        QTest::keyClick(w.vedit_exclude, Qt::Key_Return);
        QVERIFY(w.isVisible());
        w.SelectTab(w.select1Button);
        w.cb_savelog->setFocus();
        w.cb_savelog->setChecked(true);
        QTest::keyClick(w.cb_savelog, Qt::Key_Return);
        QCOMPARE(w.result(), 1);
        QCOMPARE(ReadText(SettingsPath()), SettingsText({"SaveLog=1"}));
    }

    void aPatternHoldingACommaIsRefused() {
        const struct {
            bool Exclude;
            QStringList Rows;
            int Row;
        } rows[] = {{true, {"a", "b,c"}, 1}, {false, {"x,y", "z"}, 0}, {false, {" ", "q,"}, 1}};
        for (const auto& row : rows) {
            init();
            TFFileSyncOptions& w = Open();
            w.cb_savelog->setChecked(true);
            QTableWidget* editor = row.Exclude ? w.vedit_exclude : w.vedit_include;
            SetRows(editor, row.Rows);
            const QStringList before = Settings();
            w.OkButton->Click();
            QVERIFY(w.isVisible());
            QCOMPARE(m_Boxes, QStringList{"Comma"});
            QVERIFY(w.CurrentTab() == w.select2button);
            QCOMPARE(editor->currentRow(), row.Row);
            QVERIFY(w.focusWidget() == editor);
            QCOMPARE(Settings(), before);
            QCOMPARE(ReadText(SettingsPath()), SettingsText());
            m_Boxes.clear();
        }
    }

    void aFailedWriteLeavesTheSettingsAsTheyWere() {
        TFFileSyncOptions& w = Open();
        // A folder where the settings file belongs: it can be neither read nor replaced.
        fs::remove(SettingsPath());
        QVERIFY(fs::create_directory(SettingsPath()));
        w.cb_languagelist->setCurrentIndex(1);
        w.cb_autoclose->setChecked(true);
        SetRows(w.vedit_include, {"*.doc"});
        const QStringList before = Settings();
        w.OkButton->Click();
        QVERIFY(w.isVisible());
        QCOMPARE(Settings(), before);
        QCOMPARE(QString::fromStdString(SysConfig().GetText("language")),
                 QString("Language"));  // the old language file
        QCOMPARE(m_Boxes.size(), 1);
        QVERIFY2(m_Boxes[0].startsWith("Not saved\r"), qPrintable(m_Boxes[0]));
        QVERIFY(ReadText(TMyException::LogFileName()).find("Can not Find Config File,Exist!") !=
                std::string::npos);
    }

    void theLanguageIsStoredOnlyWhenItsFileOpens() {
        const struct {
            const char* Name;
            std::string Languages;
            int Index;  // chosen in the list
            std::string Stored;
            const char* LabelText;
            QStringList Boxes;
        } rows[] = {
            {"switch", "opt.lng,de.lng", 1, "de.lng", "Sprache", {}},
            {"file missing",
             "opt.lng,de.lng,missing.lng",
             2,
             "opt.lng",
             "Language",
             {"No language\rmissing.lng"}},
            {"current not offered", "de.lng", -1, "opt.lng", "Language", {}},
        };
        for (const auto& row : rows) {
            init();
            SysConfig().languages = row.Languages;
            TFFileSyncOptions& w = Open();
            QCOMPARE(w.cb_languagelist->currentIndex(), row.Index < 0 ? -1 : 0);
            w.cb_languagelist->setCurrentIndex(row.Index);
            w.applyButton->Click();
            QVERIFY2(m_Boxes == row.Boxes, row.Name);
            QCOMPARE(QString::fromStdString(SysConfig().curlang), QString::fromStdString(row.Stored));
            QCOMPARE(ReadText(SettingsPath()), SettingsText({"curlang=" + row.Stored}));
            QCOMPARE(w.lb_language->text(), QString(row.LabelText));
            m_Boxes.clear();
        }
    }

    void theMainWindowOpensTheOptions() {
        TFMain main;
        int shown = 0;
        main.ShowOptions = [&] { ++shown; };
        main.UpdateToolsMenu();
        QVERIFY(main.Action_program->isEnabled());
        main.Action_program->trigger();
        QCOMPARE(shown, 1);
    }
};

BFS_UI_TEST(OptionsTest);
#include "OptionsTest.moc"
