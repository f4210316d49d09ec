#pragma once

#include "engine/UTResultNodeData.h"
#include "model/UTFileTree.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace bfs {

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
    // fields from its entry by its action code; recomputes LeftBytes and RightBytes.
    void RecountResults(TFileTree& ResultTree);
    // Adds one row below Row for every child of Node that Kind admits, recursively.
    void BuildResultNodes(TPlanRow& Row, TFileTree& Node, int32_t Kind);
    // The root row's sizes and counts: the sums over its direct child rows; its Action -1.
    void SumRootNode();
    // Sets Code on the row and every row below it, and on their result nodes (not on the root row's).
    void SetNodeAction(TPlanRow& Row, int32_t Code);

    // Whether a node with these (summed) counters is admitted into view Kind.
    static bool Admits(const TFileTree& Node, int32_t Kind);
};

}  // namespace bfs
