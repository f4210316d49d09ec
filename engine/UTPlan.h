#pragma once

#include "engine/UTResultNodeData.h"
#include "model/UTFileTree.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace bfs {

class TFileFilter;
class TSyncTask;

// View kinds: which result nodes the plan admits as rows.
enum TViewKind : int32_t {
    VIEW_ALL = 0,
    VIEW_CHANGES = 1,
    VIEW_CONFLICTS = 2,
    VIEW_ERRORS = 3,
    VIEW_INCLUDED = 4,
    VIEW_EXCLUDED = 5,
    VIEW_NEW = 6,
    VIEW_OVERWRITE = 7,
    VIEW_DELETE = 8,
    VIEW_LTOR = 9,
    VIEW_RTOL = 10,
};

// What the row menu offers for one row: the commands it enables and the captions of the include
// and exclude commands. Captions hold names as they are: plain text, shown as such (a menu that
// reads "&" as a mnemonic needs it doubled).
struct TRowMenu {
    bool LtoR = false;     // copy left to right (code 20)
    bool RtoL = false;     // copy right to left (code 19)
    bool NotCopy = false;  // do not copy (code 21)
    bool OpenLeftFile = false;
    bool OpenRightFile = false;
    bool DeleteLeftFile = false;
    bool DeleteRightFile = false;
    bool SaveLeftFileAs = false;
    bool SaveRightFileAs = false;
    bool OpenLeftFolder = false;
    bool OpenRightFolder = false;
    bool ShowTypeItems = false;  // include / exclude by type: file rows only
    bool ShowNameItems = false;  // include / exclude by name: every row of an entry
    std::string IncludeType;
    std::string IncludeName;
    std::string ExcludeType;
    std::string ExcludeName;
};

// The extension of a file name with its dot (".txt"), from the last dot on; empty without a dot.
std::string ExtractFileExt(std::string_view Name);

// The plan: the rows of one view over an analysis result. The plan view of the task window is a
// model over it, and the sync walk carries out exactly these rows.
class TPlan {
  public:
    std::unique_ptr<TPlanRow> RootNode;  // exists once the task has a name
    int64_t LeftBytes = 0;               // bytes that the plan writes on the left side
    int64_t RightBytes = 0;              // bytes that the plan writes on the right side
    // Image of a file row (the window supplies type icons); IMAGE_FILE when not set.
    std::function<int32_t(const std::string& Name)> FileImage;

    // Empties the plan and adds the root row named after the task (nothing for an empty name).
    void InitResultTree(const std::string& SyncName);
    // Rebuilds the rows of view Kind from ResultTree, with counts and byte totals.
    void ShowView(TFileTree& ResultTree, int32_t Kind, const std::string& SyncName);
    // Sums the leaves' counters into every folder of the tree and fills each node's left and right
    // fields from its entry by its action code; recomputes LeftBytes and RightBytes (an excluded
    // entry writes nothing).
    void RecountResults(TFileTree& ResultTree);
    // Adds one row below Row for every child of Node that Kind admits, recursively.
    void BuildResultNodes(TPlanRow& Row, TFileTree& Node, int32_t Kind);
    // The root row's sizes and counts: the sums over its direct child rows; its Action -1.
    void SumRootNode();
    // Sets Code on the row and every row below it, and on their result nodes (not on the root row's);
    // an excluded entry still counts as no change.
    void SetNodeAction(TPlanRow& Row, int32_t Code);

    // Whether a node with these (summed) counters is admitted into view Kind.
    static bool Admits(const TFileTree& Node, int32_t Kind);

    // The row menu of Row in a task of direction SyncDirection (0 two-way, 1 left to right, 2 right
    // to left): a one-way task never offers the opposite direction.
    static TRowMenu PreparePopupMenu(const TPlanRow& Row, int32_t SyncDirection);
    // The mask that the include and exclude commands add for Row: by type the extension with its
    // dot (".txt"), by name the entry's name, for a folder its path and name ("\docs\sub"); every
    // "/" shown as "\". Empty when the row gives none: the root row, a by-type mask of a name without
    // extension, or a mask that does not form a pattern (ErrorText then says why; a task holding
    // such a mask could not be analysed any more).
    static std::string FilterMask(const TPlanRow& Row, bool ByType, std::string* ErrorText = nullptr);
    // Judges every node below the root of ResultTree again with the task's filter (its masks
    // followed by the program-wide ones), parents before their children, and sets its filter state;
    // an entry included again counts its action once more. Action codes do not change; an empty
    // result and the root are left alone. The rows are not rebuilt: the view must be shown again
    // before its counts and rows hold. False, with the tree unchanged, when the masks do not form
    // a pattern (ErrorText says which).
    static bool ReapplyFilters(TFileTree& ResultTree, const TSyncTask& Task,
                               std::string* ErrorText = nullptr);
    static void ReapplyFilters(TFileTree& ResultTree, const TFileFilter& Filter);
};

}  // namespace bfs
