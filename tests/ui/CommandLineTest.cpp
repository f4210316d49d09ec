#include "UiTestMain.h"
#include "common/SkewProxy.h"
#include "common/TestSides.h"
#include "engine/UTSyncTask.h"
#include "model/UTConsts.h"
#include "model/UTFolderSource.h"
#include "model/UTIniFile.h"
#include "model/UTSysConfig.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFileLock.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>
#include <string>

using namespace bfs;
namespace fs = std::filesystem;

// The real program, started as a scheduler would start it: "bramlow-file-sync <task name>".
class CommandLineTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_Home;

    std::string Root() const { return m_Home.path().toStdString(); }

    // A task list with one two-way task over two folders of the temporary home (or Left and Right),
    // saved as the windows save tasks.
    void WriteTaskList(const char* Name, int32_t TSsync, bfs::test::TSide* Left = nullptr,
                       bfs::test::TSide* Right = nullptr, const std::string& LeftFolder = {},
                       const std::string& RightFolder = {}) {
        qputenv("XDG_CONFIG_HOME", (m_Home.path() + "/config").toUtf8());
        qputenv("XDG_RUNTIME_DIR", m_Home.path().toUtf8());
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
        if (!LeftFolder.empty()) task.LFolder->FolerAllName = LeftFolder;
        if (!RightFolder.empty()) task.RFolder->FolerAllName = RightFolder;
        if (Left) Left->Configure(*task.LFolder);
        if (Right) Right->Configure(*task.RFolder);
        QCOMPARE(task.SaveToTaskList(1), 0);
        m_LockFile = task.LockFileName();
        m_TaskLog = m_Home.path().toStdString() + "/config/bramlow-file-sync/" +
                    SyncIDToFileName(task.SyncID) + ".log";
    }
    std::string m_LockFile;  // the last task's lock, as the program finds it
    std::string m_TaskLog;   // the last task's log

    // Runs the program with Argument (none when null); its exit status, or -1 when it did not end in
    // time. Without Display, it starts as a scheduler before log-in would: no display at all, or
    // only the GoneDisplay the session that set the job had.
    int RunProgram(const QString& Argument, QByteArray* Errors = nullptr, bool Display = true,
                   const QString& GoneDisplay = {}) {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* var : {"config", "data", "cache"})
            env.insert(QStringLiteral("XDG_%1_HOME").arg(QString(var).toUpper()), m_Home.path() + "/" + var);
        env.insert("XDG_RUNTIME_DIR", m_Home.path());
        // The pause before the program closes after its runs is the automation's own, tested there.
        env.insert("BFS_TEST_FINISH_MS", "100");
        if (Display) {
            env.insert("QT_QPA_PLATFORM", "offscreen");
        } else {
            for (const char* var : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) env.remove(var);
            if (!GoneDisplay.isEmpty()) env.insert("DISPLAY", GoneDisplay);
        }
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(BFS_PROGRAM_PATH),
                      Argument.isNull() ? QStringList() : QStringList{Argument});
        if (!program.waitForFinished(60000)) {
            program.kill();
            return -1;
        }
        if (Errors) *Errors = program.readAllStandardError();
        return program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
    }

  private slots:
    // A run no one watches ends whatever stops it: its record in the task log says why, the task is
    // free again, and the program ends, with 1 and the first reason as its last line when the run
    // failed. Each case syncs once, changes the sides and runs again; after a fault made on purpose
    // (a step on the main thread that throws), a run without it goes well.
    void unattendedRunsEndAndSayWhy_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("last");    // part of the last line on standard error; empty: no line
        QTest::addColumn<QString>("logged");  // part of the task log after the second run
        const QString fault =
            "the run stopped on an unexpected error: a fault made on purpose in the step \"";
        for (const char* step : {"analysis", "sync"})
            QTest::newRow(step) << QString(step) << 1 << fault + step + '"' << "Error: " + fault + step + '"';
        QTest::newRow("server clock 5 h ahead")
            << "clock" << 0 << QString() << "The server clock of the right folder";
        QTest::newRow("edited and deleted") << "edited" << 1 << "ran: 1 conflict was not synced."
                                            << "Conflict, not synced: /a.txt";
        QTest::newRow("file and folder") << "kinds" << 1 << "ran: 2 conflicts were not synced."
                                         << "The right side holds a folder and the left side a file named /b";
        QTest::newRow("synced file now a link") << "link" << 1 << "\"a.txt\" is no longer what was synced"
                                                << "\"a.txt\" is no longer what was synced";
        QTest::newRow("marker folder a link")
            << "marker" << 1
            << "A saved state could not be read (right side: Too many levels of symbolic links)"
            << QString("side not written: %1/ends/marker/right (its folder %2 cannot be made or reached)")
                   .arg(QString::fromStdString(Root()), MARKER_FOLDER);
    }
    void unattendedRunsEndAndSayWhy() {
        QFETCH(QString, kind);
        QFETCH(int, status);
        QFETCH(QString, last);
        QFETCH(QString, logged);
        using namespace bfs::test;
        const std::string scratch = Root() + "/ends/" + kind.toStdString();
        TLocalSide left(scratch + "/left");
        std::unique_ptr<TSide> right;
        TWebDavServer dav;
        std::unique_ptr<TSkewProxy> proxy;
        if (kind == "clock") {
            QVERIFY2(dav.Start(TDavKind::Rclone), "the WebDAV server did not start");
            proxy = std::make_unique<TSkewProxy>(dav.Port, [] { return int64_t{5 * 3600}; });
            right = std::make_unique<TServedSide>(dav.Files + "/side", nullptr, DEVICE_WEBDAV,
                                                  "http://127.0.0.1:" + std::to_string(proxy->Port) + "/side",
                                                  DAV_USER, DAV_PASS);
        } else {
            right = std::make_unique<TLocalSide>(scratch + "/right");
        }
        const int64_t t1 = 1600000000;
        QVERIFY(left.Write("/a.txt", "alpha", t1) && left.Write("/keep.txt", "kept", t1));
        const QString task = "Ends " + kind;
        WriteTaskList(task.toUtf8().constData(), 1, &left, right.get());
        TIniFile ini(m_Home.path().toStdString() + "/config/bramlow-file-sync/" +
                     std::string(SETTINGS_FILE_NAME));
        QVERIFY(ini.WriteInteger("filesync", "SaveLog", 1) == 0 && ini.Save() == 0);
        QByteArray errors;
        QVERIFY2(RunProgram(task, &errors) == 0, errors.constData());

        if (kind == "edited") {
            // The right side is left empty: its note says so, and holds nothing back.
            QVERIFY(left.Write("/a.txt", "edited", t1 + 100));
            left.Remove("/keep.txt");
            right->Remove("/a.txt");
            right->Remove("/keep.txt");
        } else if (kind == "kinds") {
            QVERIFY(left.Write("/b", "a file", t1) && right->Write("/b/c.txt", "in a folder", t1));
        } else if (kind == "marker") {
            const std::string marker = scratch + "/right/" + MARKER_FOLDER;
            fs::rename(marker, scratch + "/marker");
            fs::create_directory_symlink(scratch + "/marker", marker);
            QVERIFY(left.Write("/b.txt", "beta", t1));
        } else if (kind == "link") {
            fs::rename(scratch + "/left/a.txt", scratch + "/a.txt");
            fs::create_symlink(scratch + "/a.txt", scratch + "/left/a.txt");
        } else {
            QVERIFY(left.Write("/a.txt", "alpha, edited", t1 + 100));
        }
        const bool faulted = kind == "analysis" || kind == "sync";
        if (faulted) qputenv("BFS_TEST_FAULT", kind.toUtf8());
        const int second = RunProgram(task, &errors);
        qunsetenv("BFS_TEST_FAULT");
        QCOMPARE(second, status);
        const QList<QByteArray> lines = errors.trimmed().split('\n');
        QVERIFY2(last.isEmpty() ? errors.isEmpty() : lines.last().contains(last.toUtf8()),
                 errors.constData());
        std::string log;
        QCOMPARE(ReadWholeFile(m_TaskLog, log), 0);
        QVERIFY2(log.find(logged.toStdString()) != std::string::npos, log.c_str());
        TFileLock lock;
        QVERIFY(lock.TryLock(m_LockFile));
        lock.Unlock();
        if (kind == "link") QCOMPARE(right->Read("/a.txt"), std::string("alpha"));  // not taken as deleted
        if (!faulted) return;
        QCOMPARE(RunProgram(task, &errors), 0);
        QCOMPARE(right->Read("/a.txt"), std::string("alpha, edited"));
    }

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
        // Nothing left to do: the run still ends, and well; also without a display, and with no
        // line on standard error that is not the program's own.
        QByteArray errors;
        QCOMPARE(RunProgram(QStringLiteral("Daily"), &errors, false), 0);
        QVERIFY2(errors.isEmpty(), errors.constData());
        // The windows need a display: without one, a start says why and ends.
        QCOMPARE(RunProgram(QString(), &errors, false), 1);
        QVERIFY2(errors.contains("no display"), errors.constData());
        // A display that is gone (the session that set the job has ended): the run goes on unseen,
        // and a start of the windows says which display cannot be opened.
        int gone = 99;
        while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(gone))) ++gone;
        const QString display = QStringLiteral(":%1").arg(gone);
        QCOMPARE(WriteFileAtomic(Root() + "/left/docs/gone.txt", "gamma"), 0);
        QCOMPARE(RunProgram(QStringLiteral("Daily"), &errors, false, display), 0);
        QCOMPARE(ReadWholeFile(Root() + "/right/docs/gone.txt", copied), 0);
        QCOMPARE(RunProgram(QString(), &errors, false, display), 1);
        QVERIFY2(errors.contains("DISPLAY=" + display.toUtf8() + " cannot be opened"), errors.constData());
        // Names are case-sensitive; an unknown one is a failure, with its reason.
        QCOMPARE(RunProgram(QStringLiteral("daily"), &errors), 1);
        QVERIFY(!errors.isEmpty());

        // A run of the task under way elsewhere: this one is refused, and says why.
        {
            TFileLock running;
            QVERIFY(running.TryLock(m_LockFile));
            QCOMPARE(RunProgram(QStringLiteral("Daily"), &errors), 1);
            QVERIFY2(errors.contains("The task \"Daily\" is already running."), errors.constData());
        }
        // A runtime folder that is not the user's private one: the lock is not made there, and the
        // run says where and why.
        {
            const std::string folder = m_Home.path().toStdString() + "/bramlow-file-sync";
            const std::string elsewhere = m_Home.path().toStdString() + "/elsewhere";
            QVERIFY(fs::remove_all(folder) > 0);
            QCOMPARE(MakeFolders(elsewhere, 0700), 0);
            fs::create_directory_symlink(elsewhere, folder);
            QCOMPARE(RunProgram(QStringLiteral("Daily"), &errors), 1);
            const QByteArray line = "The lock of task \"Daily\" could not be made: the folder " +
                                    QByteArray::fromStdString(folder) + " is a symbolic link.";
            QVERIFY2(errors.contains(line), errors.constData());
            QVERIFY(fs::is_empty(elsewhere));
            fs::remove(folder);
        }

        // A saved state that cannot be written fails the run; the task is free again afterwards.
        const QString marker = QString::fromStdString(Root() + "/right/" + MARKER_FOLDER);
        const QStringList states = QDir(marker).entryList(QDir::Files);
        QCOMPARE(states.size(), 1);
        const QString state = marker + "/" + states[0];
        QVERIFY(QFile::remove(state));
        QVERIFY(QDir().mkdir(state));
        QCOMPARE(WriteFileAtomic(Root() + "/left/docs/b.txt", "beta"), 0);
        QCOMPARE(RunProgram(QStringLiteral("Daily")), 1);
        QVERIFY(QDir().rmdir(state));
        QCOMPARE(RunProgram(QStringLiteral("Daily")), 0);
    }

    // Not enough room on a side, in a run no one watches: no box waits for a click; the refusal,
    // with both sizes, goes to the task log and the run fails, and the task is free again.
    // (A small file system of its own needs the right to mount one.)
    void aFullDiskRefusesWithoutABox() {
        const std::string right = Root() + "/small";
        QCOMPARE(MakeFolders(right), 0);
        QProcess mount;
        mount.start("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", QString::fromStdString(right)});
        if (!mount.waitForFinished(10000) || mount.exitCode() != 0)
            QSKIP("cannot mount a small file system here");
        const auto unmount =
            qScopeGuard([&] { QProcess::execute("umount", {QString::fromStdString(right)}); });
        const std::string left = Root() + "/big";
        QCOMPARE(MakeFolders(left), 0);
        QCOMPARE(WriteFileAtomic(left + "/big.bin", std::string(3 << 20, 'b')), 0);
        WriteTaskList("Full", 1, nullptr, nullptr, left, right);
        QByteArray errors;
        QCOMPARE(RunProgram(QStringLiteral("Full"), &errors), 1);
        QVERIFY2(errors.contains("Right Folder disk space is not enough: 3 MB needed, 1 MB free."),
                 errors.constData());
        TFileLock lock;
        QVERIFY(lock.TryLock(m_LockFile));
    }

    // Each kind of remote side through the program a scheduler starts: a first sync, edits on both
    // sides (one with an older date), deletions, and a run after them: nothing is lost or brought
    // back, and the last run changes nothing.
    void remoteSidesKeepEditsAndDeletions_data() {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"Share", "FtpList", "WebDavRclone", "S3Prefix", "DeviceFolder"})
            QTest::newRow(kind) << QString(kind);
    }
    void remoteSidesKeepEditsAndDeletions() {
        QFETCH(QString, kind);
        using namespace bfs::test;
        qputenv("BFS_DEVICE_NAME", "Pocket_PC");
        qputenv("BFS_TEST_SOURCE_DIR", BFS_SOURCE_DIR);
        const std::string scratch = Root() + "/" + kind.toStdString();
        std::unique_ptr<TSide> right;
        for (const TSideKind& k : SideKinds())
            if (kind == k.Name) right = k.Make(scratch);
        QVERIFY2(right, "the side's server did not start");
        TLocalSide left(scratch + "/left");
        const int64_t t1 = 1600000000, t2 = 1600002000;
        QVERIFY(left.Write("/docs/a.txt", "alpha", t2) && left.Write("/b.txt", "beta", t1));
        QVERIFY(right->Write("/c.txt", "gamma", t1));
        const QString task = "Remote " + kind;  // one task per row: the list keeps them all
        WriteTaskList(task.toUtf8().constData(), 1, &left, right.get());
        QByteArray errors;
        QVERIFY2(RunProgram(task, &errors) == 0, errors.constData());
        const std::vector<std::string> first = {"/b.txt=beta", "/c.txt=gamma", "/docs/", "/docs/a.txt=alpha"};
        QCOMPARE(Contents(left.List()), first);
        QCOMPARE(Contents(right->List()), first);

        QVERIFY(left.Write("/docs/a.txt", "alpha, edited with an older date", t1));
        left.Remove("/b.txt");
        QVERIFY(right->Write("/c.txt", "gamma, edited on the server", t2));
        QVERIFY2(RunProgram(task, &errors) == 0, errors.constData());
        const std::vector<std::string> second = {"/c.txt=gamma, edited on the server", "/docs/",
                                                 "/docs/a.txt=alpha, edited with an older date"};
        QCOMPARE(Contents(left.List()), second);
        QCOMPARE(Contents(right->List()), second);

        const TTree leftBefore = left.List(), rightBefore = right->List();
        QVERIFY2(RunProgram(task, &errors) == 0, errors.constData());
        QVERIFY(left.List() == leftBefore);
        QVERIFY(right->List() == rightBefore);
        qunsetenv("BFS_DEVICE_NAME");
    }
};

BFS_UI_TEST(CommandLineTest);
#include "CommandLineTest.moc"
