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
                QVERIFY2(!fs::exists(Entry()), row.Name);  // only a click on the box touches it
            }
        }
    }

    // The box acts at once, whatever the window's result; a change that did not take is reported and
    // the box shows what the session does.
    void startAtLogInActsAtOnce() {
        const struct {
            const char* Name;
            bool On;  // what the click asks for
            std::function<void(const std::string& Entry)> Before;
            int Entry;  // GetRunAtStartup after the click
        } rows[] = {
            {"on", true, nullptr, 1},
            {"off", false, [](const std::string&) { SetRunAtStartup("Bramlow File Sync", "on"); }, 0},
            // A file where the autostart folder belongs.
            {"cannot write", true,
             [](const std::string& E) {
                 QCOMPARE(WriteFileAtomic(fs::path(E).parent_path().string(), "x"), 0);
             },
             0},
            // A folder with something in it where the entry belongs.
            {"cannot remove", false, [](const std::string& E) { QCOMPARE(MakeFolders(E + "/inside"), 0); },
             -1},
        };
        for (const auto& row : rows) {
            init();
            if (row.Before) row.Before(Entry());
            TFFileSyncOptions& w = Open();
            w.cb_SF->setChecked(!row.On);
            w.cb_SF->click();
            const bool took = row.Entry == (row.On ? 1 : 0);
            QVERIFY2(GetRunAtStartup("Bramlow File Sync") == row.Entry, row.Name);
            QVERIFY2(w.cb_SF->isChecked() == (row.On == took), row.Name);
            QVERIFY2(m_Boxes.size() == (took ? 0 : 1), row.Name);
            if (!took)
                QVERIFY2(m_Boxes[0].startsWith("No autostart\r") &&
                             m_Boxes[0].endsWith("bramlow-file-sync.desktop"),
                         qPrintable(m_Boxes[0]));
            w.CancelButton->Click();
            QVERIFY2(GetRunAtStartup("Bramlow File Sync") == row.Entry, row.Name);
            QCOMPARE(ReadText(SettingsPath()), SettingsText());  // the key is stored by OK and Apply only
            // Opened again, the box shows what the session will do, not the key.
            QVERIFY2(Open().cb_SF->isChecked() == (row.Entry == 1), row.Name);
        }
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
