#pragma once

// The contract every back-end keeps (model/UTFileOper.h), written once and run against each kind of
// storage. A back-end's test file registers it with a factory that makes a back-end on a fresh,
// empty side:
//
//   const bool g_Registered = (RegisterFileOperContract("Local", MakeLocalSide), true);
//
// The cases reach the side only through the back-end's own operations, so they run unchanged
// against a remote server.

#include "common/TempFolder.h"
#include "model/UTConsts.h"
#include "model/UTDosTime.h"
#include "model/UTFileOper.h"
#include "platform/UTAtomicFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace bfs::test {

// Records what a back-end reports, with the status text current when each message went out.
class TRecorder : public INotifyTarget {
  public:
    struct TMessage {
        uint32_t Msg;
        std::string Text;
    };
    void PostMessage(uint32_t Msg, intptr_t, intptr_t) override {
        {
            std::lock_guard lock(m_Mutex);
            Messages.push_back({Msg, GetStatusText()});
        }
        if (OnMessage) OnMessage(Msg);
    }
    void SendMessage(uint32_t Msg, intptr_t W, intptr_t L) override { PostMessage(Msg, W, L); }
    void Synchronize(const std::function<void()>& Call) override { Call(); }
    int Count(uint32_t Msg) const {
        int n = 0;
        for (const auto& m : Messages) n += m.Msg == Msg;
        return n;
    }

    std::vector<TMessage> Messages;
    std::function<void(uint32_t)> OnMessage;  // runs on the reporting thread

  private:
    std::mutex m_Mutex;
};

struct TContractSide {
    std::unique_ptr<TFileOper> Oper;  // NotifyWnd and FTreeFileName are set by the suite
    std::function<void()> Dispose;    // removes the side; may be empty
    // Where writers lock their files: takes a writer's lock on the file at a full path until the
    // result is dropped. Empty where nothing is locked (the cases skip what needs it).
    std::function<std::shared_ptr<void>(const std::string& FullPath)> HoldLock;
    // Whether a copy gets the date it is given. Where it cannot (FTP), a copy carries the time the
    // server wrote it, and the cases check for that recent date instead.
    bool SetsDates = true;
};
using TSideFactory = std::function<TContractSide()>;

inline TFileAttri Entry(std::string Path, std::string Name, int64_t Size = 0, int32_t FileDate = 0) {
    TFileAttri a;
    a.Path = std::move(Path);
    a.Name = std::move(Name);
    a.Size = Size;
    a.FileDate = FileDate;
    return a;
}

// Writes Content as the local file Path, last changed at MTime.
inline void WriteDated(const std::string& Path, const std::string& Content, time_t MTime) {
    ASSERT_EQ(WriteFileAtomic(Path, Content), 0);
    const timespec times[2] = {{MTime, 0}, {MTime, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, Path.c_str(), times, 0), 0);
}

inline std::vector<std::string> ChildNames(const TFileTree& Node) {
    std::vector<std::string> names;
    for (const auto& c : Node.Children) names.push_back(c->Name);
    return names;
}

inline const TFileTree* Child(const TFileTree& Node, const std::string& Name) {
    for (const auto& c : Node.Children)
        if (c->Name == Name) return c.get();
    return nullptr;
}

class TFileOperContract : public ::testing::Test {
  public:
    using TCase = void (TFileOperContract::*)();
    TFileOperContract(TSideFactory Factory, TCase Case) : m_Factory(std::move(Factory)), m_Case(Case) {}
    void TestBody() override { (this->*m_Case)(); }

    void EmptySideListsNothing() {
        EXPECT_EQ(Oper->Connect(), 0);
        EXPECT_EQ(Oper->CheckFolder(), 0);
        EXPECT_EQ(Oper->ListFolder(), 0);
        EXPECT_TRUE(Oper->ListComplete());
        EXPECT_TRUE(Oper->FFileTree->Children.empty());
        EXPECT_TRUE(Oper->FSavedTree->Children.empty());
        EXPECT_FALSE(State(Entry("/", MARKER_FOLDER)).Exists);  // a listing never makes the marker folder
    }

    void ListingKeepsTheConventions() {
        ASSERT_EQ(Put("/", "b.txt", "bb"), 0);
        ASSERT_EQ(Put("/", "a.txt", "a"), 0);
        ASSERT_EQ(Put("/c/", "x.txt", "xyz"), 0);
        ASSERT_EQ(Put("/A/deep/", "y.txt", ""), 0);
        ASSERT_EQ(Put(std::string("/A/") + MARKER_FOLDER + "/", "kept.txt", "k"), 0);
        ASSERT_EQ(Put(std::string("/") + MARKER_FOLDER + "/", "dropped.txt", "d"), 0);
        ASSERT_EQ(Oper->MakeDir("/Empty"), 0);
        ASSERT_EQ(Oper->MakeDir("/Empty"), 0);  // an existing folder is success

        const int32_t steps = Oper->GetScanSteps();
        EXPECT_EQ(Oper->ListFolder(), 0);
        EXPECT_LE(Recorder.Count(WM_UPDATEPROCESS), steps);
        const TFileTree& root = *Oper->FFileTree;
        EXPECT_EQ(ChildNames(root), (std::vector<std::string>{"A", "c", "Empty", "a.txt", "b.txt"}));
        const TFileTree* a = Child(root, "A");
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(ChildNames(*a), (std::vector<std::string>{MARKER_FOLDER, "deep"}));
        EXPECT_EQ(a->Data->IsFolder, 1);
        EXPECT_EQ(a->Data->Path, "/");
        const TFileTree* x = Child(*Child(root, "c"), "x.txt");
        ASSERT_NE(x, nullptr);
        EXPECT_EQ(x->Data->Path, "/c/");
        EXPECT_EQ(x->Data->Size, 3);
        ExpectCopyDate(x->Data->FileDate);
        EXPECT_EQ(x->Data->IsFolder, 0);
        EXPECT_EQ(Child(*Child(*a, "deep"), "y.txt")->Data->Path, "/A/deep/");
    }

    void StreamRoundTripReplacesTheFile() {
        const TFileAttri state = Entry(std::string("/") + MARKER_FOLDER + "/", "TASK");
        std::string read;
        EXPECT_NE(Oper->ReadFileToStream(*Oper->FFolderSource, state, read, 0), 0);
        ASSERT_EQ(Oper->WriteStreamToFile("a longer first text", *Oper->FFolderSource, state, false), 0);
        ASSERT_EQ(Oper->WriteStreamToFile("second", *Oper->FFolderSource, state, false), 0);
        EXPECT_EQ(Oper->ReadFileToStream(*Oper->FFolderSource, state, read, 0), 0);
        EXPECT_EQ(read, "second");
        EXPECT_EQ(Oper->GetFileSize(Oper->GetFullPath(*Oper->FFolderSource, state)), 6);
    }

    void SavedStateLoadsAfterTheListing() {
        auto saved = TFileTree::Create(std::string(), nullptr);
        auto data = MakeRef<TFileAttri>();
        data->Name = "gone.txt";
        data->Path = "/";
        data->Size = 4;
        data->FileDate = DATE;
        data->Attr = FILE_ATTRIBUTE_ARCHIVE;
        saved->AddChild("gone.txt", data);
        ASSERT_EQ(WriteSavedState(*saved), 0);

        Oper->LoadSavedTreeFlag = true;
        EXPECT_EQ(Oper->ListFolder(), 0);
        EXPECT_FALSE(Oper->LoadSavedTreeFlag);
        EXPECT_TRUE(Oper->FFileTree->Children.empty());
        EXPECT_EQ(ChildNames(*Oper->FSavedTree), (std::vector<std::string>{"gone.txt"}));
    }

    void CopiesInAndOut() {
        ASSERT_EQ(Put("/docs/", "a.bin", "payload"), 0);
        const std::string back = Scratch.Path + "/back.bin";
        EXPECT_EQ(Oper->GetFile(back, *Oper->FFolderSource, Entry("/docs/", "a.bin", 7), 0, false), 0);
        std::string read;
        ReadWholeFile(back, read);
        EXPECT_EQ(read, "payload");
        // A source that no longer has the listed size is not copied.
        EXPECT_NE(Oper->GetFile(back, *Oper->FFolderSource, Entry("/docs/", "a.bin", 8), 0, false), 0);
        EXPECT_NE(Oper->GetFile(back, *Oper->FFolderSource, Entry("/docs/", "missing", 7), 0, false), 0);
    }

    // A source no longer as listed (size or date) is copied neither in nor out; the target keeps
    // what it held.
    void ChangedSourceIsNotCopied() {
        ASSERT_EQ(Put("/", "t.txt", "old"), 0);
        const std::string local = Local("src", "four"), back = Scratch.Path + "/back";
        for (const TFileAttri& e : {Entry("/", "t.txt", 3, LATER), Entry("/", "t.txt", 4, LATER)}) {
            EXPECT_EQ(Oper->PutFile(local, *Oper->FFolderSource, e, 0, false), RESULT_SOURCE_CHANGED);
            EXPECT_EQ(Oper->GetFile(back, *Oper->FFolderSource, e, 0, false), RESULT_SOURCE_CHANGED);
        }
        EXPECT_EQ(State(Entry("/", "t.txt")).Size, 3);
        EXPECT_FALSE(FileExists(back));
    }

    void EntryStateTellsWhatIsThere() {
        ASSERT_EQ(Put("/d/", "f.txt", "abc"), 0);
        const TEntryState file = State(Entry("/d/", "f.txt")), folder = State(Entry("/", "d"));
        EXPECT_TRUE(file.Exists && !file.IsFolder && file.Size == 3);
        ExpectCopyDate(file.FileDate);
        EXPECT_TRUE(folder.Exists && folder.IsFolder);
        for (const TFileAttri& e : {Entry("/d/", "none"), Entry("/no/", "x"), Entry("/d/f.txt/", "x")})
            EXPECT_FALSE(State(e).Exists) << e.Path.str() << e.Name;
        TEntryState state;
        for (const TFileAttri& e : {Entry("/", ".."), Entry("/../", "d")})
            EXPECT_NE(Oper->GetEntryState(*Oper->FFolderSource, e, state), 0);
    }

    // A copy goes to a TempEntryFor entry, then takes the target's name by a rename (new target) or
    // a replace (existing one).
    void TempEntryTakesTheTargetsName() {
        ASSERT_EQ(Put("/t/", "old.txt", "old"), 0);
        for (const TFileAttri& target :
             {Entry("/t/", "new.txt", 5, DATE), Entry("/t/", "old.txt", 5, DATE)}) {
            if (State(target).Exists && !Oper->ReplacesByRename()) continue;
            const TFileAttri temp = Oper->TempEntryFor(target);
            EXPECT_TRUE(IsReservedName(temp.Name) && temp.Size == 5 && temp.FileDate == DATE);
            ASSERT_EQ(Oper->PutFile(Local("src", "fresh"), *Oper->FFolderSource, temp, 0, false), 0);
            const std::string from = Oper->GetFullPath(*Oper->FFolderSource, temp),
                              to = Oper->GetFullPath(*Oper->FFolderSource, target);
            EXPECT_EQ(State(target).Exists ? Oper->ReplaceFile(from, to) : Oper->RenameFile(from, to), 0);
            EXPECT_TRUE(State(target).Size == 5 && !State(temp).Exists) << target.Name;
        }
    }

    // Reserved names are never listed; a listing removes the leftovers no writer holds (in listed
    // folders and at the top of the marker folder), and a held one once it is let go.
    void ListingHidesAndRemovesLeftovers() {
        const std::vector<TFileAttri> temps = {
            Entry("/", NewReservedName()), Entry("/sub/", NewReservedName()),
            Entry(std::string("/") + MARKER_FOLDER + "/", NewReservedName()),
            Entry("/sub/", NewReservedName())};
        for (const TFileAttri& t : temps) ASSERT_EQ(Put(t.Path.str(), t.Name, "left"), 0);
        ASSERT_EQ(Put("/sub/", "kept.txt", "k"), 0);
        std::shared_ptr<void> held;
        if (m_Side.HoldLock) held = m_Side.HoldLock(Oper->GetFullPath(*Oper->FFolderSource, temps.back()));
        for (int listing = 0; listing < 2; ++listing, held.reset()) {
            ASSERT_EQ(Oper->ListFolder(), 0);
            EXPECT_EQ(ChildNames(*Oper->FFileTree), (std::vector<std::string>{"sub"}));
            EXPECT_EQ(ChildNames(*Child(*Oper->FFileTree, "sub")), (std::vector<std::string>{"kept.txt"}));
            for (const TFileAttri& t : temps)
                EXPECT_EQ(State(t).Exists, held && &t == &temps.back()) << t.Name;
        }
    }

    // Only names of the exact forms the program makes are its own: a leftover of such a form goes,
    // an aside takes its name back when that is free, and every other name, whatever its prefix, is
    // a user's file that is listed and kept, listing after listing.
    void OnlyTheProgramsOwnNamesAreLeftovers() {
        const std::string marker = std::string("/") + MARKER_FOLDER + "/";
        enum TFate { USER, REMOVED, GIVEN_BACK };
        const struct {
            std::string Path, Name;
            TFate Fate;
        } cases[] = {
            {"/", ".~bfs.my-notes.txt", USER},
            {"/", ".~bfs.abc", USER},
            {"/", ".~bfs.0123456789abcde", USER},
            {"/", ".~bfs.ABCDEFGHIJKLMNOP", USER},
            {"/", ".~bfs.x.Ab3dE9", USER},
            {"/sub/", ".~bfs.r.report.txt", USER},  // as an earlier version's aside was named
            {"/sub/", ".~bfs.r.Ab3dE9", USER},
            {"/.~bfs.folder/", "in.txt", USER},
            {marker, ".~bfs.notes", USER},
            {"/", ".~bfs.0123456789abcdef", REMOVED},
            {"/sub/", ".~bfs.g.Ab3dE9", REMOVED},
            {"/sub/", NewReservedName(), REMOVED},
            {marker, ".~bfs.p.zZ09aA", REMOVED},
            {"/sub/", AsideName("kept.txt"), REMOVED},  // kept.txt is there: the replace went through
            {"/", AsideName("back.txt"), GIVEN_BACK},
        };
        ASSERT_EQ(Put("/sub/", "kept.txt", "k"), 0);
        for (const auto& c : cases) ASSERT_EQ(Put(c.Path, c.Name, "content"), 0) << c.Path << c.Name;
        const std::vector<std::string> top = {".~bfs.folder",           "sub",
                                              ".~bfs.0123456789abcde",  ".~bfs.abc",
                                              ".~bfs.ABCDEFGHIJKLMNOP", ".~bfs.my-notes.txt",
                                              ".~bfs.x.Ab3dE9",         "back.txt"};
        const std::vector<std::string> sub = {".~bfs.r.Ab3dE9", ".~bfs.r.report.txt", "kept.txt"};
        for (int listing = 0; listing < 2; ++listing) {
            SCOPED_TRACE(listing);
            ASSERT_EQ(Oper->ListFolder(), 0);
            EXPECT_EQ(ChildNames(*Oper->FFileTree), top);
            const TFileTree *subFolder = Child(*Oper->FFileTree, "sub"),
                            *userFolder = Child(*Oper->FFileTree, ".~bfs.folder"),
                            *back = Child(*Oper->FFileTree, "back.txt");
            ASSERT_TRUE(subFolder && userFolder && back);
            EXPECT_EQ(ChildNames(*subFolder), sub);
            EXPECT_EQ(ChildNames(*userFolder), std::vector<std::string>{"in.txt"});
            EXPECT_EQ(back->Data->Size, 7);
            for (const auto& c : cases) {
                const TEntryState now = State(Entry(c.Path, c.Name));
                EXPECT_EQ(now.Exists, c.Fate == USER) << c.Path << c.Name;
                EXPECT_EQ(now.Size, c.Fate == USER ? 7 : 0) << c.Path << c.Name;
            }
            EXPECT_EQ(State(Entry("/", "back.txt")).Size, 7);
            EXPECT_EQ(State(Entry("/sub/", "kept.txt")).Size, 1);
        }
    }

    // A file named as an earlier version stepped files aside takes the name it stands in for only
    // where the saved state vouches that no user's file is meant: it records that name as a file of
    // the aside's very size and date, and nothing under the aside's own name, and the name is free.
    void EarlierAsideTakesItsNameOnlyWhereTheStateVouches() {
        const std::string aside = ".~bfs.r.f.txt";
        const struct {
            const char* Case;
            bool OtherSize, OtherDate;  // the state records f.txt otherwise than the aside is listed
            bool RecordsAside;          // the state records the aside's own name too
            bool Taken;                 // f.txt is there
            bool GivenBack;
        } cases[] = {
            {"vouched", false, false, false, false, true},
            {"other date", false, true, false, false, false},
            {"other size", true, false, false, false, false},
            {"aside recorded", false, false, true, false, false},
            {"name taken", false, false, false, true, false},
        };
        for (size_t i = 0; i < std::size(cases); ++i) {
            const std::string path = "/c" + std::to_string(i) + "/";
            ASSERT_EQ(Put(path, aside, "old"), 0);
            if (cases[i].Taken) {
                ASSERT_EQ(Put(path, "f.txt", "new!"), 0);
            }
        }
        ASSERT_EQ(Oper->ListFolder(), 0);
        auto saved = TFileTree::Create(std::string(), nullptr);
        for (size_t i = 0; i < std::size(cases); ++i) {
            const auto& c = cases[i];
            const std::string name = "c" + std::to_string(i);
            const TFileTree* listed = Child(*Child(*Oper->FFileTree, name), aside);
            ASSERT_NE(listed, nullptr) << c.Case;  // with no saved state, a user's file
            TFileTree* stateFolder = saved->AddChild(name, Child(*Oper->FFileTree, name)->Data);
            TFileAttri f = *listed->Data;
            if (c.OtherSize) ++f.Size;
            if (c.OtherDate) f.FileDate = f.FileDate == DATE ? LATER : DATE;
            stateFolder->AddChild("f.txt", &f);
            if (c.RecordsAside) stateFolder->AddChild(aside, listed->Data);
        }
        ASSERT_EQ(WriteSavedState(*saved), 0);

        Oper->LoadSavedTreeFlag = true;
        ASSERT_EQ(Oper->ListFolder(), 0);
        for (size_t i = 0; i < std::size(cases); ++i) {
            const auto& c = cases[i];
            SCOPED_TRACE(c.Case);
            const std::string path = "/c" + std::to_string(i) + "/";
            std::vector<std::string> names;
            if (!c.GivenBack) names.push_back(aside);
            if (c.GivenBack || c.Taken) names.push_back("f.txt");
            EXPECT_EQ(ChildNames(*Child(*Oper->FFileTree, "c" + std::to_string(i))), names);
            EXPECT_EQ(State(Entry(path, aside)).Exists, !c.GivenBack);
            EXPECT_EQ(State(Entry(path, "f.txt")).Size, c.Taken ? 4 : c.GivenBack ? 3 : 0);
        }
    }

    void DeletesFilesAndOnlyEmptyFolders() {
        ASSERT_EQ(Put("/d/", "f.txt", "f"), 0);
        const TFileAttri file = Entry("/d/", "f.txt"), folder = Entry("/", "d");
        EXPECT_NE(Oper->RemoveDir(*Oper->FFolderSource, folder, false), 0);
        EXPECT_EQ(Oper->GetFileSize(Oper->GetFullPath(*Oper->FFolderSource, file)), 1);
        EXPECT_EQ(Oper->DeleteFile(*Oper->FFolderSource, file, false), 0);
        EXPECT_EQ(Oper->GetFileSize(Oper->GetFullPath(*Oper->FFolderSource, file)), -1);
        EXPECT_NE(Oper->DeleteFile(*Oper->FFolderSource, file, false), 0);
        EXPECT_EQ(Oper->RemoveDir(*Oper->FFolderSource, folder, false), 0);
        EXPECT_EQ(Oper->ListFolder(), 0);
        EXPECT_TRUE(Oper->FFileTree->Children.empty());
    }

    void RenamesButNeverOverwrites() {
        ASSERT_EQ(Put("/", "a.tmp", "new"), 0);
        ASSERT_EQ(Put("/", "b.txt", "keep me"), 0);
        const std::string a = Oper->GetFullPath(*Oper->FFolderSource, Entry("/", "a.tmp"));
        const std::string b = Oper->GetFullPath(*Oper->FFolderSource, Entry("/", "b.txt"));
        const std::string c = Oper->GetFullPath(*Oper->FFolderSource, Entry("/", "c.txt"));
        EXPECT_NE(Oper->RenameFile(a, b), 0);
        EXPECT_EQ(Oper->GetFileSize(b), 7);
        EXPECT_EQ(Oper->RenameFile(a, c), 0);
        EXPECT_EQ(Oper->GetFileSize(a), -1);
        EXPECT_EQ(Oper->GetFileSize(c), 3);
    }

    void BacksUpTheCurrentFile() {
        EXPECT_EQ(Oper->GetBackupFolder(), std::string("/") + MARKER_FOLDER + "/" + BACKUP_FOLDER);
        EXPECT_NE(Oper->BackupFile(*Oper->FFolderSource, Entry("/sub/", "a.txt")), 0);
        ASSERT_EQ(Put("/sub/", "a.txt", "old"), 0);
        EXPECT_EQ(Oper->BackupFile(*Oper->FFolderSource, Entry("/sub/", "a.txt")), 0);
        std::string read;
        const TFileAttri copy = Entry(Oper->GetBackupFolder() + "/sub/", "a.txt");
        EXPECT_EQ(Oper->ReadFileToStream(*Oper->FFolderSource, copy, read, 0), 0);
        EXPECT_EQ(read, "old");
    }

    // Names that could climb out of the side, or name no file, never reach the storage.
    void RefusesUnsafeNames() {
        const std::string local = Local("x", "x");
        const struct {
            const char* Path;
            const char* Name;
        } cases[] = {{"/", ".."},   {"/", "."},      {"/", ""},    {"/", "a/b"},
                     {"/../", "x"}, {"/a/../", "x"}, {"/./", "x"}, {"", "x"}};
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.Path) + "|" + c.Name);
            const TFileAttri e = Entry(c.Path, c.Name, 1);
            TFolderSource& side = *Oper->FFolderSource;
            EXPECT_NE(Oper->WriteStreamToFile("x", side, e, true), 0);
            EXPECT_NE(Oper->PutFile(local, side, e, 0, false), 0);
            EXPECT_NE(Oper->DeleteFile(side, e, false), 0);
            EXPECT_NE(Oper->RemoveDir(side, e, false), 0);
            EXPECT_NE(Oper->BackupFile(side, e), 0);
        }
        EXPECT_NE(Oper->MakeDir("/../escape"), 0);
        EXPECT_NE(Oper->MakeDir("a/./b"), 0);
        EXPECT_EQ(Oper->ListFolder(), 0);
        EXPECT_TRUE(Oper->FFileTree->Children.empty());
    }

    // "\" is an ordinary character of a name here: a side either keeps the name exactly or refuses
    // it, and never takes it for a separator. A refused name leaves nothing behind and stops nothing.
    void BackslashNameIsKeptOrRefused() {
        const int32_t put = Put("/", "a\\b.txt", "x");
        ASSERT_EQ(Put("/", "after.txt", "y"), 0);
        EXPECT_EQ(Oper->ListFolder(), 0);
        if (put == 0) {
            EXPECT_EQ(ChildNames(*Oper->FFileTree), (std::vector<std::string>{"a\\b.txt", "after.txt"}));
            EXPECT_EQ(State(Entry("/", "a\\b.txt")).Size, 1);
        } else {
            EXPECT_EQ(ChildNames(*Oper->FFileTree), (std::vector<std::string>{"after.txt"}));
            EXPECT_NE(Oper->DeleteFile(*Oper->FFolderSource, Entry("/", "a\\b.txt"), false), 0);
        }
    }

    void StopEndsTheListingIncomplete() {
        ASSERT_EQ(Put("/a/", "f", "f"), 0);
        Oper->Stop();
        EXPECT_EQ(Oper->ListFolder(), 1);
        EXPECT_FALSE(Oper->ListComplete());
        EXPECT_TRUE(Oper->FFileTree->NotListed);
    }

  protected:
    static inline const int32_t DATE = UnixTimeToDosDate(1700000000);
    static inline const int32_t LATER = UnixTimeToDosDate(1700003600);

    void SetUp() override {
        ::setenv("XDG_CONFIG_HOME", Scratch.Path.c_str(), 1);
        m_Side = m_Factory();
        if (IsSkipped()) return;  // the factory found no server to run against
        Oper = m_Side.Oper.get();
        ASSERT_NE(Oper, nullptr);
        Oper->NotifyWnd = &Recorder;
        Oper->FTreeFileName = "TASK1";
        ASSERT_EQ(Oper->Connect(), 0);
    }
    void TearDown() override {
        m_Side.Oper.reset();
        if (m_Side.Dispose) m_Side.Dispose();
    }

    // The date of a file that Put copied in: DATE, or on a side that sets no dates a recent one.
    void ExpectCopyDate(int32_t FileDate) {
        if (m_Side.SetsDates) {
            EXPECT_EQ(FileDate, DATE);
            return;
        }
        const int64_t age = static_cast<int64_t>(std::time(nullptr)) - DosDateToUnixTime(FileDate);
        EXPECT_TRUE(age > -120 && age < 600) << "copied " << age << " s ago";
    }

    // A local file with Content, dated DATE; returns its path.
    std::string Local(const std::string& Name, const std::string& Content) {
        const std::string path = Scratch.Path + "/" + Name;
        WriteDated(path, Content, 1700000000);
        return path;
    }
    // The entry as it stands on the side (looked up into a variable that held something before).
    TEntryState State(const TFileAttri& E) {
        TEntryState state{true, true, 9, 9};
        EXPECT_EQ(Oper->GetEntryState(*Oper->FFolderSource, E, state), 0) << E.Path.str() << E.Name;
        return state;
    }
    // Stores Saved as the side's saved state, where the next listing asked to loads it.
    int32_t WriteSavedState(const TFileTree& Saved) {
        std::string text;
        Saved.SaveToStream(text, Oper->FFolderSource->FolerAllName);
        const TFileAttri state = Entry(std::string("/") + MARKER_FOLDER + "/", Oper->FTreeFileName);
        return Oper->WriteStreamToFile(text, *Oper->FFolderSource, state, false);
    }
    // Copies Content into the side as Path + Name, dated DATE.
    int32_t Put(const std::string& Path, const std::string& Name, const std::string& Content) {
        const std::string local = Local("put.tmp", Content);
        return Oper->PutFile(local, *Oper->FFolderSource,
                             Entry(Path, Name, static_cast<int64_t>(Content.size()), DATE), 0, false);
    }

    TTempFolder Scratch;
    TRecorder Recorder;
    TFileOper* Oper = nullptr;

  private:
    TSideFactory m_Factory;
    TCase m_Case;
    TContractSide m_Side;
};

// Registers every contract case as "FileOperContract/<SideName>.<case>".
inline void RegisterFileOperContract(const std::string& SideName, const TSideFactory& Factory) {
    using C = TFileOperContract;
    static const std::pair<const char*, C::TCase> cases[] = {
        {"EmptySideListsNothing", &C::EmptySideListsNothing},
        {"ListingKeepsTheConventions", &C::ListingKeepsTheConventions},
        {"StreamRoundTripReplacesTheFile", &C::StreamRoundTripReplacesTheFile},
        {"SavedStateLoadsAfterTheListing", &C::SavedStateLoadsAfterTheListing},
        {"CopiesInAndOut", &C::CopiesInAndOut},
        {"DeletesFilesAndOnlyEmptyFolders", &C::DeletesFilesAndOnlyEmptyFolders},
        {"RenamesButNeverOverwrites", &C::RenamesButNeverOverwrites},
        {"BacksUpTheCurrentFile", &C::BacksUpTheCurrentFile},
        {"RefusesUnsafeNames", &C::RefusesUnsafeNames},
        {"StopEndsTheListingIncomplete", &C::StopEndsTheListingIncomplete},
        {"BackslashNameIsKeptOrRefused", &C::BackslashNameIsKeptOrRefused},
        {"ChangedSourceIsNotCopied", &C::ChangedSourceIsNotCopied},
        {"EntryStateTellsWhatIsThere", &C::EntryStateTellsWhatIsThere},
        {"TempEntryTakesTheTargetsName", &C::TempEntryTakesTheTargetsName},
        {"ListingHidesAndRemovesLeftovers", &C::ListingHidesAndRemovesLeftovers},
        {"OnlyTheProgramsOwnNamesAreLeftovers", &C::OnlyTheProgramsOwnNamesAreLeftovers},
        {"EarlierAsideTakesItsNameOnlyWhereTheStateVouches",
         &C::EarlierAsideTakesItsNameOnlyWhereTheStateVouches},
    };
    const std::string suite = "FileOperContract/" + SideName;
    for (const auto& [name, body] : cases) {
        C::TCase c = body;
        ::testing::RegisterTest(suite.c_str(), name, nullptr, nullptr, __FILE__, __LINE__,
                                [Factory, c]() -> C* { return new C(Factory, c); });
    }
}

}  // namespace bfs::test
