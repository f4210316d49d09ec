#include "UiTestMain.h"
#include "engine/UTSyncTask.h"
#include "model/UTFolderSource.h"
#include "platform/UTAtomicFile.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <string>

using namespace bfs;

// The real program, started as a scheduler would start it: "bramlow-file-sync <task name>".
class CommandLineTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_Home;

    std::string Root() const { return m_Home.path().toStdString(); }

    // A task list with one two-way task over two folders of the temporary home, saved as the windows
    // save tasks.
    void WriteTaskList(const char* Name, int32_t TSsync) {
        qputenv("XDG_CONFIG_HOME", (m_Home.path() + "/config").toUtf8());
        TSyncTask task;
        task.SyncName = Name;
        task.IsDeleteFile = 1;
        task.TSsync = TSsync;
        task.TSanalyze = 1;
        for (auto [folder, side] :
             {std::pair{task.LFolder.get(), "/left"}, std::pair{task.RFolder.get(), "/right"}}) {
            folder->DeviceType = DEVICE_LOCAL;
            folder->FolerAllName = Root() + side;
        }
        QCOMPARE(task.SaveToTaskList(1), 0);
    }

    // Runs the program with Argument; its exit status, or -1 when it did not end in time.
    int RunProgram(const QString& Argument, QByteArray* Errors = nullptr) {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* var : {"config", "data", "cache"})
            env.insert(QStringLiteral("XDG_%1_HOME").arg(QString(var).toUpper()), m_Home.path() + "/" + var);
        env.insert("XDG_RUNTIME_DIR", m_Home.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(BFS_PROGRAM_PATH), {Argument});
        if (!program.waitForFinished(60000)) {
            program.kill();
            return -1;
        }
        if (Errors) *Errors = program.readAllStandardError();
        return program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
    }

  private slots:
    void aNamedTaskRunsWithoutAPersonAndTellsHowItWent() {
        QCOMPARE(MakeFolders(Root() + "/left/docs"), 0);
        QCOMPARE(MakeFolders(Root() + "/right"), 0);
        QCOMPARE(WriteFileAtomic(Root() + "/left/docs/a.txt", "alpha"), 0);
        WriteTaskList("Daily", 1);
        // Blanks around the name are not part of it.
        QCOMPARE(RunProgram(QStringLiteral(" Daily ")), 0);
        std::string copied;
        QCOMPARE(ReadWholeFile(Root() + "/right/docs/a.txt", copied), 0);
        QCOMPARE(copied, std::string("alpha"));
        // Nothing left to do: the run still ends, and well.
        QCOMPARE(RunProgram(QStringLiteral("Daily")), 0);
        // Names are case-sensitive; an unknown one is a failure, with its reason.
        QByteArray errors;
        QCOMPARE(RunProgram(QStringLiteral("daily"), &errors), 1);
        QVERIFY(!errors.isEmpty());
    }
};

BFS_UI_TEST(CommandLineTest);
#include "CommandLineTest.moc"
