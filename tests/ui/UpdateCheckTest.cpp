#include "../common/LoopbackHttpServer.h"
#include "UiTestMain.h"
#include "model/UTRegistry.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "ui/DMUnit.h"

#include <QDir>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>

using namespace bfs;
using TServer = bfs::test::TLoopbackHttpServer;

namespace {

// The boxes as the stand-in records them: flags, a colon, the text.
const QString QUESTION =
    QStringLiteral("68:A newer version of Bramlow File Sync is available. Would you like to update now?");
const QString UP_TO_DATE =
    QStringLiteral("64:There are no updates available at this time.\rYour Bramlow File Sync is up-to-date.");

std::string Ini(const std::string& Ver) {
    return "[Version]\r\nVer=" + Ver + "\r\n";
}

}  // namespace

// Each test has its own program folder (XDG_CONFIG_HOME) and a message box stand-in that records
// the boxes and answers m_Answer to a question.
class UpdateCheckTest : public QObject {
    Q_OBJECT

    std::optional<QTemporaryDir> m_Config;
    QByteArray m_OldConfigHome;
    std::string m_Folder;
    QStringList m_Boxes;
    int m_Answer = IDNO;
    bool m_Wrong = false;  // a box with another caption, or shown under the wait cursor

    // registry.ini with the update location and, unless nullopt, the installed version.
    void WriteRegistry(const std::string& Location, const std::optional<std::string>& Version) {
        std::string text = "[Software\\Bramlow File Sync]\r\nUpdateURL=" + Location + "\r\n";
        if (Version) text += "Version=" + *Version + "\r\n";
        QCOMPARE(WriteFileAtomic(m_Folder + "registry.ini", text), 0);
    }
    std::string UpdateIni() const {
        std::string data;
        return ReadWholeFile(m_Folder + "Update.ini", data) == 0 ? data : "<missing>";
    }

  private slots:
    void init() {
        m_Config.emplace();
        m_OldConfigHome = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", m_Config->path().toUtf8());
        m_Folder = GetProgramFolder();
        QVERIFY(!m_Folder.empty());
        m_Answer = IDNO;
        m_Wrong = false;
        MessageBoxFunc = [this](const QString& Text, const QString& Caption, int Flags) {
            m_Wrong |= Caption != QStringLiteral("Bramlow File Sync") || QGuiApplication::overrideCursor();
            m_Boxes << QString::number(Flags) + QLatin1Char(':') + Text;
            return (Flags & 0x0F) == MB_YESNO ? m_Answer : IDOK;
        };
    }
    void cleanup() {
        MessageBoxFunc = nullptr;
        RegistryInfo = TMyRegistryInfo();
        if (m_OldConfigHome.isEmpty())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", m_OldConfigHome);
        m_Config.reset();
        QVERIFY(!m_Wrong);
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    void offeredVersionAgainstInstalled() {
        const std::string builtIn = ProgramVersion();
        const struct {
            const char* Name;
            std::optional<std::string> Installed;  // nullopt: no Version value recorded
            std::string Offered;                   // the body of Update.ini
            bool Newer;
        } cases[] = {
            {"later patch", "2010.1.2", Ini("2010.1.3"), true},
            {"compared as text, not as numbers", "2010.1.2", Ini("2010.1.10"), false},
            {"same version", "2010.1.2", Ini("2010.1.2"), false},
            {"description without a version", "2010.1.2", "[Other]\r\nVer=2099.1.1\r\n", false},
            {"no installed version: the built-in one, a newer offered", std::nullopt, Ini("9999.0"), true},
            {"no installed version: the built-in one offered", std::nullopt, Ini(builtIn), false},
            {"empty installed version: the built-in one", "", Ini(builtIn), false},
        };
        for (const auto& c : cases) {
            TServer server([&](const std::string& Path) {
                return TServer::TReply(Path == "/Update.ini" ? 200 : 404, c.Offered);
            });
            QVERIFY(server.Started());
            WriteRegistry(server.Url(), c.Installed);
            TDM dm;
            for (const bool interactive : {false, true}) {
                m_Boxes.clear();
                dm.CheckForUpdate(interactive);
                QStringList expected;
                if (c.Newer || interactive) expected << (c.Newer ? QUESTION : UP_TO_DATE);
                QVERIFY2(m_Boxes == expected, c.Name);
                QCOMPARE(UpdateIni(), c.Offered);
            }
            QCOMPARE(server.Requests(), 2);
            QVERIFY(!dm.TerminateRequested());  // answered No
        }
    }

    // A failed download keeps the previous Update.ini whole, leaves no temporary file behind, and is
    // reported by the interactive check only.
    void failedDownloads() {
        TServer server([](const std::string& Path) -> TServer::TReply {
            if (Path == "/silent/Update.ini") return {0, {}, TServer::TKind::Silent};
            if (Path == "/cut/Update.ini") return {200, Ini("2099.1.1") + ";;;;", TServer::TKind::Truncate};
            if (Path == "/huge/Update.ini") return {200, Ini("2099.1.1") + std::string(2 << 20, ';')};
            return {404, Ini("2099.1.1")};
        });
        QVERIFY(server.Started());
        const std::string previous = Ini("2010.1.2");
        for (const std::string& location :
             {TServer::UnusedUrl(), server.Url() + "silent/", server.Url() + "cut/",
              server.Url() + "missing/", server.Url() + "huge/"}) {
            for (const bool interactive : {false, true}) {
                QCOMPARE(WriteFileAtomic(m_Folder + "Update.ini", previous), 0);
                WriteRegistry(location, "2010.1.2");
                TDM dm;
                dm.IdHTTP1.SetReadTimeout(300);
                m_Boxes.clear();
                dm.CheckForUpdate(interactive);
                QStringList expected;
                if (interactive)
                    expected << QStringLiteral(
                                    "64:Can not download the new version.\rBecause Can not connect ") +
                                    QString::fromStdString(location) +
                                    QStringLiteral(",Please check the network.");
                QVERIFY2(m_Boxes == expected, location.c_str());
                QCOMPARE(UpdateIni(), previous);
                const QDir folder(QString::fromStdString(m_Folder));
                QCOMPARE(folder.entryList(QDir::Files | QDir::Hidden),
                         QStringList({QStringLiteral("registry.ini"), QStringLiteral("Update.ini")}));
            }
        }
    }

    // Yes ends the program only when the updater (the program folder's "Update") really started.
    void yesStartsTheUpdater() {
        TServer server([](const std::string&) { return TServer::TReply(200, Ini("2099.1.1")); });
        QVERIFY(server.Started());
        WriteRegistry(server.Url(), "2010.1.2");
        const std::string updater = m_Folder + "Update";
        const struct {
            const char* Script;  // nullptr: no updater
            mode_t Mode;
        } cases[] = {{nullptr, 0}, {"#!/bin/sh\n", 0644}, {"#!/bin/sh\necho $# >\"$0.args\"\n", 0755}};
        for (const auto& c : cases) {
            if (c.Script) {
                QCOMPARE(WriteFileAtomic(updater, c.Script), 0);
                QCOMPARE(::chmod(updater.c_str(), c.Mode), 0);
            }
            const bool starts = c.Mode == 0755;
            TDM dm;
            m_Boxes.clear();
            m_Answer = IDYES;
            dm.CheckForUpdate(true);
            QCOMPARE(dm.TerminateRequested(), starts);
            QCOMPARE(m_Boxes.size(), starts ? 1 : 2);
            QCOMPARE(m_Boxes[0], QUESTION);
            if (!starts) QVERIFY(m_Boxes[1].startsWith(QStringLiteral("16:Can not start the updater ")));
        }
        std::string args;
        QTRY_VERIFY(ReadWholeFile(updater + ".args", args) == 0 && !args.empty());
        QCOMPARE(args, std::string("0\n"));  // started without arguments
    }

    // The start-up check runs only when the setting asks for it and the start is no task run.
    void startupCheckOnlyWhenAllowed() {
        TServer server([](const std::string&) { return TServer::TReply(200, Ini("2099.1.1")); });
        QVERIFY(server.Started());
        WriteRegistry(server.Url(), "2010.1.2");
        const struct {
            bool StartupCheck;  // false: started with a task name
            bool CheckUpdate;
        } cases[] = {{true, true}, {true, false}, {false, true}};
        for (const auto& c : cases) {
            const int before = server.Requests();
            RegistryInfo.CheckUpdate = c.CheckUpdate;
            m_Boxes.clear();
            {
                TDM dm;
                QCOMPARE(DM, &dm);
                dm.DataModuleCreate(c.StartupCheck);
            }
            QVERIFY(!DM);
            const bool checked = c.StartupCheck && c.CheckUpdate;
            QCOMPARE(server.Requests() - before, checked ? 1 : 0);
            QCOMPARE(m_Boxes, checked ? QStringList{QUESTION} : QStringList());
        }
    }

    void boxesAreBuiltAsAsked() {
        const struct {
            int Flags;
            QMessageBox::Icon Icon;
            QMessageBox::StandardButtons Buttons;
        } cases[] = {
            {0x44, QMessageBox::Information, QMessageBox::Yes | QMessageBox::No},
            {0x40, QMessageBox::Information, QMessageBox::Ok},
            {16, QMessageBox::Critical, QMessageBox::Ok},
        };
        for (const auto& c : cases) {
            const auto box =
                BuildMessageBox(QStringLiteral("<b>a</b>\rb"), QStringLiteral("Bramlow File Sync"), c.Flags);
            QCOMPARE(box->icon(), c.Icon);
            QCOMPARE(box->standardButtons(), c.Buttons);
            QCOMPARE(box->textFormat(), Qt::PlainText);
            QCOMPARE(box->text(), QStringLiteral("<b>a</b>\nb"));
        }
    }
};

BFS_UI_TEST(UpdateCheckTest);
#include "UpdateCheckTest.moc"
