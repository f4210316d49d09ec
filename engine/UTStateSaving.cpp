#include "engine/UTStateSaving.h"

#include "engine/UTFileSyncThread.h"
#include "engine/UTSyncTask.h"
#include "model/UTConsts.h"
#include "model/UTFolderForm.h"
#include "model/UTListOrder.h"
#include "model/UTMyException.h"
#include "platform/UTAtomicFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace bfs {

namespace {

// One entry of a level as each source knows it (null where a source has no such entry).
struct TCandidate {
    const TFileTree* Result = nullptr;
    const TFileTree* Seen = nullptr;
    const TFileTree* Previous = nullptr;
    const TFileTree* Relisted = nullptr;

    const TFileTree* Any() const {
        return Result ? Result : (Seen ? Seen : (Previous ? Previous : Relisted));
    }
};

// The children of the four nodes (any may be null) merged by listing order into candidates.
std::vector<TCandidate> MergeLevel(const TCandidate& Folder) {
    const TFileTreeList* lists[4] = {
        Folder.Result ? &Folder.Result->Children : nullptr,
        Folder.Seen ? &Folder.Seen->Children : nullptr,
        Folder.Previous ? &Folder.Previous->Children : nullptr,
        Folder.Relisted ? &Folder.Relisted->Children : nullptr,
    };
    size_t next[4] = {0, 0, 0, 0};
    std::vector<TCandidate> out;
    size_t most = 0;
    for (const TFileTreeList* list : lists)
        if (list) most = std::max(most, list->size());
    out.reserve(most);
    const auto sameEntry = [](const TFileTree& a, const TFileTree& b) {
        // Names equal in the listing order are equal byte for byte (UTListOrder.h).
        return a.IsFolder() == b.IsFolder() && a.Name == b.Name;
    };
    for (;;) {
        const TFileTree* heads[4] = {};
        const TFileTree* least = nullptr;
        bool allSame = true;
        for (int k = 0; k < 4; ++k) {
            if (!lists[k] || next[k] >= lists[k]->size()) continue;
            heads[k] = (*lists[k])[next[k]].get();
            if (!least) {
                least = heads[k];
            } else if (!sameEntry(*heads[k], *least)) {
                allSame = false;
                if (CompareListOrder(*heads[k], *least) < 0) least = heads[k];
            }
        }
        if (!least) break;
        TCandidate c;
        const TFileTree** slots[4] = {&c.Result, &c.Seen, &c.Previous, &c.Relisted};
        for (int k = 0; k < 4; ++k) {
            if (!heads[k] || (!allSame && !sameEntry(*heads[k], *least))) continue;
            *slots[k] = heads[k];
            ++next[k];
        }
        out.push_back(c);
    }
    return out;
}

const TFileAttri* AttriOf(const TFileTree* Node) {
    return Node ? Node->Data : nullptr;
}

// The walk wrote Size and FileDate (kept in the node's fields of the side written) and the side
// now shows them.
bool StillAsWritten(const TFileTree& Node, int Side, const TFileTree* Relisted) {
    const TFileAttri* now = AttriOf(Relisted);
    if (!now) return false;
    if (now->IsFolder != 0) return Node.IsFolder();
    const int64_t size = Side == SIDE_LEFT ? Node.LeftSize : Node.RightSize;
    const int32_t date = Side == SIDE_LEFT ? Node.LeftDate : Node.RightDate;
    return !Node.IsFolder() && now->Size == size && now->FileDate == date;
}

// The entry of the new state for one candidate, or null for none (see BuildSavedState).
const TFileAttri* Decide(const TCandidate& C, int Side) {
    const TFileTree* r = C.Result;
    if (!r || !r->Data) return AttriOf(C.Previous);
    if (r->DoneAction != 0) {
        const TPlanAction done = PlanAction(r->DoneAction);
        if (done.Operation == OPER_DELETE) return nullptr;
        if (done.Operation == OPER_COPY) {
            if (done.SourceSide == Side) return AttriOf(C.Seen);
            return StillAsWritten(*r, Side, C.Relisted) ? AttriOf(C.Relisted) : AttriOf(C.Previous);
        }
    }
    const bool ranNothing =
        r->Status == ACTION_SAME || r->Status == ACTION_NOT_COPY || r->Status == ACTION_NONE;
    if (!ranNothing || (r->Flags & (NODE_EXCLUDED | NODE_HELD_BACK)) != 0) return AttriOf(C.Previous);
    return AttriOf(C.Seen);
}

// A folder kept only because something below it is: its entry from whichever source has it.
const TFileAttri* AnyFolderEntry(const TCandidate& C) {
    for (const TFileTree* n : {C.Seen, C.Relisted, C.Previous, C.Result})
        if (n && n->Data && n->Data->IsFolder != 0) return n->Data;
    return nullptr;
}

void AppendEntry(std::string& Text, const TFileAttri& A, int32_t Count) {
    TFileTree::AppendEntryLine(Text, A.Name, Count, A.Path.str(), A.FileDate,
                               A.IsFolder != 0 ? int64_t{-1} : A.Size, A.Attr);
}

}  // namespace

std::string BuildSavedState(int Side, const TStateSources& Sources, std::string_view RootText) {
    // Two walks over the same merged levels, depth first in listing order. A folder's line carries the
    // count of what is recorded below it, and a folder whose own entry is not recorded is still kept
    // when something below it is; so the first walk (post-order) settles each folder and measures
    // the text, and the second writes the lines in saved order into a text of exactly that size:
    // a state the size of the listing is held once, not grown by doubling.
    struct TFolderOut {
        const TFileAttri* Entry = nullptr;  // null: not recorded
        int32_t Count = 0;                  // recorded children
    };
    std::vector<TFolderOut> folders;  // in the order the walks meet the folders
    const auto lineLength = [](const TFileAttri& A, int32_t Count) {
        return TFileTree::EntryLineLength(A.Name, Count, A.Path.str(), A.FileDate,
                                          A.IsFolder != 0 ? int64_t{-1} : A.Size, A.Attr);
    };
    const TCandidate top{Sources.Result, Sources.Seen, Sources.Previous, Sources.Relisted};

    struct TFrame {
        std::vector<TCandidate> Level;
        size_t Next = 0;
        size_t Folder = 0;  // index in folders (not used for the top)
        int32_t Count = 0;  // recorded children
        size_t Bytes = 0;   // length of the lines below
        const TFileAttri* Own = nullptr;
        const TFileAttri* Fallback = nullptr;
    };
    std::vector<TFrame> stack(1);
    stack[0].Level = MergeLevel(top);
    for (;;) {
        TFrame& f = stack.back();
        if (f.Next >= f.Level.size()) {
            if (stack.size() == 1) break;
            const TFrame done = std::move(f);
            stack.pop_back();
            const TFileAttri* entry = done.Own ? done.Own : (done.Count == 0 ? nullptr : done.Fallback);
            folders[done.Folder] = {entry, done.Count};
            if (entry) {
                TFrame& parent = stack.back();
                parent.Bytes += lineLength(*entry, done.Count) + done.Bytes;
                ++parent.Count;
            }
            continue;
        }
        const TCandidate c = f.Level[f.Next++];
        const TFileAttri* own = Decide(c, Side);
        if (c.Any()->IsFolder()) {
            TFrame child;
            child.Level = MergeLevel(c);
            child.Folder = folders.size();
            folders.emplace_back();
            child.Own = own;
            child.Fallback = AnyFolderEntry(c);
            stack.push_back(std::move(child));  // f is not used after this
        } else if (own) {
            f.Bytes += lineLength(*own, 0);
            ++f.Count;
        }
    }

    std::string text;
    TFileTree::AppendRootLine(text, RootText, stack[0].Count);
    text.reserve(text.size() + stack[0].Bytes);
    struct TLevel {
        std::vector<TCandidate> Level;
        size_t Next = 0;
        bool Quiet = false;  // below a folder that is not recorded: the first walk dropped all of it
    };
    std::vector<TLevel> levels(1);
    levels[0].Level = MergeLevel(top);
    size_t nextFolder = 0;
    while (!levels.empty()) {
        TLevel& l = levels.back();
        if (l.Next >= l.Level.size()) {
            levels.pop_back();
            continue;
        }
        const TCandidate c = l.Level[l.Next++];
        if (c.Any()->IsFolder()) {
            const TFolderOut& out = folders[nextFolder++];
            const bool quiet = l.Quiet || !out.Entry;
            if (!quiet) AppendEntry(text, *out.Entry, out.Count);
            levels.push_back({MergeLevel(c), 0, quiet});  // l is not used after this
        } else if (const TFileAttri* own = l.Quiet ? nullptr : Decide(c, Side)) {
            AppendEntry(text, *own, 0);
        }
    }
    return text;
}

namespace {

// BuildSavedState for both sides at once, the left on a thread of its own; a side whose Skip is set
// is left empty.
void BuildSavedStates(const TStateSources (&Sources)[2], const std::string (&RootTexts)[2],
                      const bool (&Skip)[2], std::string (&Texts)[2]) {
    std::exception_ptr leftFailure;
    std::thread left;
    if (!Skip[0]) {
        left = std::thread([&] {
            try {
                Texts[0] = BuildSavedState(0, Sources[0], RootTexts[0]);
            } catch (...) {
                leftFailure = std::current_exception();
            }
        });
    }
    try {
        if (!Skip[1]) Texts[1] = BuildSavedState(1, Sources[1], RootTexts[1]);
    } catch (...) {
        if (left.joinable()) left.join();
        throw;
    }
    if (left.joinable()) left.join();
    if (leftFailure) std::rethrow_exception(leftFailure);
}

// Writes a side's saved-state text where the task keeps it (the side's marker folder through Oper,
// or the application-data folder for a side kept locally), unless it is the text the state already
// holds. 0 written or current; else a failure, logged, with Why saying what stood in the way where
// that is known.
int32_t WriteSavedState(const TSyncTask& Task, int Side, TFileOper& Oper, const std::string& Text,
                        uint64_t PreviousHash, std::string& Why) {
    if (PreviousHash != 0 && TFileTree::TextHash(Text) == PreviousHash) return 0;  // already current
    const int32_t local = Task.GetLocalStateSides();
    const bool keepsLocal = Side == SIDE_LEFT ? (local == LOCAL_STATE_LEFT || local == LOCAL_STATE_BOTH)
                                              : (local == LOCAL_STATE_RIGHT || local == LOCAL_STATE_BOTH);
    int32_t rc;
    if (keepsLocal) {
        rc = SaveStateLocalFile(Task, Text, Side);
        if (rc != 0) Why = std::generic_category().message(rc);
    } else {
        TFileAttri marker;
        marker.Name = SyncIDToFileName(Task.SyncID);
        marker.Path = std::string("/") + MARKER_FOLDER + "/";
        Oper.FailureText.clear();
        rc = Oper.WriteStreamToFile(Text, *Oper.FFolderSource, marker, false);
        // A marker folder that cannot be made or reached (a file or a link in its place) is the
        // usual obstacle; otherwise the side's own reason, when it gives one.
        if (rc != 0)
            Why = !Oper.FailureText.empty() ? Oper.FailureText
                  : Oper.MakeDir(std::string("/") + MARKER_FOLDER) != 0
                      ? std::string("its folder ") + MARKER_FOLDER + " cannot be made or reached"
                      : std::string();
    }
    if (rc != 0) {
        const TFolderSource& folder = Side == SIDE_LEFT ? *Task.LFolder : *Task.RFolder;
        TMyException::Instance().LogError(
            "Save State Error", "EInOutError",
            "saved state not written: " + folder.FolerAllName + (Why.empty() ? "" : " (" + Why + ")"));
    }
    return rc;
}

}  // namespace

int SaveStates(const TSyncTask& Task, const TStateSources (&Sources)[2], TFileOper* const (&Writers)[2],
               const bool (&Skip)[2], uint64_t (&Hashes)[2], std::string (*Reasons)[2]) {
    // Each state names its folder in the one form its side connects to, whichever way the task
    // writes the address: the next analysis knows it again under any writing of that folder.
    const std::string roots[2] = {FolderAddressForm(Task.LFolder->DeviceType, Task.LFolder->FolerAllName),
                                  FolderAddressForm(Task.RFolder->DeviceType, Task.RFolder->FolerAllName)};
    const int bits[2] = {STATE_LEFT_NOT_WRITTEN, STATE_RIGHT_NOT_WRITTEN};
    std::string texts[2];
    try {
        BuildSavedStates(Sources, roots, Skip, texts);
    } catch (const std::exception& e) {
        LogError("Save State Error", e);
        return (Skip[0] ? 0 : bits[0]) | (Skip[1] ? 0 : bits[1]);
    }
    int notWritten = 0;
    for (int side : {0, 1}) {
        if (Skip[side]) continue;
        std::string why;
        if (WriteSavedState(Task, side, *Writers[side], texts[side], Hashes[side], why) == 0) {
            Hashes[side] = TFileTree::TextHash(texts[side]);
            continue;
        }
        notWritten |= bits[side];
        if (Reasons) (*Reasons)[side] = std::move(why);
    }
    return notWritten;
}

std::string StateNotWrittenLine(const TSyncTask& Task, int Side, const std::string& Why) {
    return std::string("Error saved state of the ") + (Side == SIDE_LEFT ? "left" : "right") +
           " side not written: " + (Side == SIDE_LEFT ? Task.LFolder : Task.RFolder)->FolerAllName +
           (Why.empty() ? "" : " (" + Why + ")");
}

int32_t SaveStateLocalFile(const TSyncTask& Task, const std::string& Text, int Side) {
    const std::string file = Task.LocalStateFileName(Side);
    if (file.empty()) return ENOENT;
    const auto slash = file.rfind('/');
    if (int err = MakeFolders(file.substr(0, slash)); err != 0) return err;
    return WriteFileAtomic(file, Text);
}

}  // namespace bfs
