#include "UiTestMain.h"
#include "model/UTIniFile.h"
#include "model/UTRegistry.h"
#include "model/UTSysConfig.h"
#include "platform/UTFolders.h"
#include "ui/DMUnit.h"
#include "ui/FAbout.h"
#include "ui/ImageEx.h"
#include "ui/uF_TastTemplate.h"
#include "ui/uF_TemplateList.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace bfs;

class TemplateAboutTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_Home;
    std::unique_ptr<TIniFile> m_OldLanguage;
    std::string m_OldHomePage;
    QStringList m_Boxes;

  private slots:
    void initTestCase() {
        qputenv("XDG_CONFIG_HOME", m_Home.path().toUtf8());
        std::ofstream(GetProgramFolder() + "templates.lng") << "[title]\ntasknameerror=Bad name\n";
        m_OldLanguage = std::move(SysConfig().LangFile);
        QCOMPARE(SysConfig().OpenLanguage("templates.lng"), 0);
        m_OldHomePage = RegistryInfo.HomePage;
        MessageBoxFunc = [this](const QString& Text, const QString& Caption, int Flags) {
            m_Boxes << Text + "|" + Caption + "|" + QString::number(Flags);
            return IDOK;
        };
    }
    void cleanupTestCase() {
        SysConfig().LangFile = std::move(m_OldLanguage);
        RegistryInfo.HomePage = m_OldHomePage;
        MessageBoxFunc = nullptr;
    }
    void init() { m_Boxes.clear(); }

    // A refused name keeps the window open with the "tasknameerror" box; the caller trims the name
    // and saves nothing for an empty one, so blanks around a name and the empty name pass.
    void templateNamesAreChecked() {
        const struct {
            QString Typed;
            bool Accepted;
        } rows[] = {
            {"Weekly", true},
            {"  Weekly  ", true},
            {"", true},
            {"Mon-Fri backup", true},
            {"a\"b", true},
            {"a,b", false},
            {",", false},
            {"a/b", false},
            {"a\\b", false},
            {"a:b", false},
            {"a*b", false},
            {"a?b", false},
            {"a<b>", false},
            {"a|b", false},
            {"a\tb", false},
            {"a\nb", false},
            {"a\x01"
             "b",
             false},
            {"a\x7f"
             "b",
             false},
            {QString(".."), false},
        };
        for (const auto& r : rows) {
            m_Boxes.clear();
            TF_TastTemplate w;
            w.show();
            w.Edit_name->setText(r.Typed);
            w.OKButton->Click();
            QVERIFY2(w.result() == (r.Accepted ? 1 : 0), qPrintable(r.Typed));
            QCOMPARE(w.isVisible(), !r.Accepted);
            QCOMPARE(m_Boxes, r.Accepted ? QStringList() : QStringList{"Bad name|Bramlow File Sync|64"});
        }
        TF_TastTemplate w;
        QCOMPARE(w.Edit_name->maxLength(), 30);
        w.show();
        w.CanceButton->Click();
        QCOMPARE(w.result(), 2);
        QVERIFY(!w.isVisible());
    }

    void templateListShowsEachNameOnceAndReturnsTheChosenOne() {
        TF_TemplateList w;
        w.SetTemplates({"Home", " Office ", "Home", "", "  ", "Office", "home"});
        QStringList lines;
        for (int i = 0; i < w.lb_template->count(); ++i) lines << w.lb_template->item(i)->text();
        QCOMPARE(lines, QStringList({"Home", "Office", "home"}));
        w.show();
        QCOMPARE(w.SelectedTemplate(), QString("Home"));  // the first line, as the list opens
        w.lb_template->clearSelection();
        QCOMPARE(w.SelectedTemplate(), QString());  // OK now adds nothing
        w.lb_template->setCurrentRow(1);
        QCOMPARE(w.SelectedTemplate(), QString("Office"));
        w.OKButton->Click();
        QCOMPARE(w.result(), 1);

        w.SetTemplates({"Weekly"});  // filled again: the old lines are gone, the first one chosen
        QCOMPARE(w.lb_template->count(), 1);
        QCOMPARE(w.SelectedTemplate(), QString("Weekly"));
        w.show();
        w.CanceButton->Click();
        QCOMPARE(w.result(), 2);
    }

    // Enter is OK in either window, Tab goes from the field or list to OK and Cancel, and a picture
    // button with the focus shows it.
    void templateWindowsByKeyboard() {
        const auto next = [](QWidget* W) {
            do W = W->nextInFocusChain();
            while (!(W->focusPolicy() & Qt::TabFocus));
            return W;
        };
        TF_TastTemplate name;
        name.show();
        name.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&name));
        QVERIFY(next(name.Edit_name) == name.OKButton && next(name.OKButton) == name.CanceButton);
        name.OKButton->setFocus();
        const QImage unmarked = name.CanceButton->grab().toImage();
        name.CanceButton->setFocus();
        QVERIFY(name.CanceButton->grab().toImage() != unmarked);
        name.Edit_name->setFocus();
        name.Edit_name->setText("Weekly");
        QTest::keyClick(name.Edit_name, Qt::Key_Return);
        QCOMPARE(name.result(), 1);

        // Enter on the list as it opens takes its first line; the keypad's Enter is the same.
        for (int row : {-1, 1}) {
            TF_TemplateList list;
            list.SetTemplates({"Home", "Office"});
            list.show();
            list.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&list));
            QVERIFY(next(list.lb_template) == list.OKButton && next(list.OKButton) == list.CanceButton);
            QCOMPARE(QApplication::focusWidget(), list.lb_template);
            if (row >= 0) list.lb_template->setCurrentRow(row);
            QTest::keyClick(list.lb_template, row < 0 ? Qt::Key_Return : Qt::Key_Enter,
                            row < 0 ? Qt::NoModifier : Qt::KeypadModifier);
            QCOMPARE(list.result(), 1);
            QCOMPARE(list.SelectedTemplate(), row < 0 ? QString("Home") : QString("Office"));
        }
    }

    void aboutBoxNamesTheVersionAndOpensItsLinks() {
        RegistryInfo.HomePage = "https://www.bramlow-file-sync.example/about-test/";
        TAboutBox w;
        std::vector<std::string> opened;
        w.OpenLink = [&](const std::string& Address) { opened.push_back(Address); };
        w.show();
        QCOMPARE(w.lb_Version->text(), QString("Bramlow File Sync 2010.1.2"));
        QCOMPARE(w.lb_website2->text(), QString::fromStdString(RegistryInfo.HomePage));
        QCOMPARE(w.lb_Email2->text(), QString("support@bramlow-file-sync.example"));
        w.lb_website2->Click();
        w.lb_Email2->Click();
        QCOMPARE(opened, (std::vector<std::string>{RegistryInfo.HomePage,
                                                   "mailto:support@bramlow-file-sync.example"}));
        QVERIFY(w.isVisible());  // following a link leaves the window open
        w.OKButton->Click();
        QCOMPARE(w.result(), 1);
        QVERIFY(!w.isVisible());

        // A click on the background closes it too.
        TAboutBox again;
        again.OpenLink = [&](const std::string& Address) { opened.push_back(Address); };
        again.show();
        QTest::mouseClick(again.Image1, Qt::LeftButton, {}, QPoint(5, again.Image1->height() - 5));
        QVERIFY(!again.isVisible());
        QCOMPARE(opened.size(), size_t(2));
    }
};

BFS_UI_TEST(TemplateAboutTest);

#include "TemplateAboutTest.moc"
