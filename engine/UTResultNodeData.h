#pragma once

#include "model/UTFileTree.h"
#include "model/UTSharedString.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bfs {

// One row of the plan. The plan view shows it; the sync walk carries out its Action and writes
// back done (18) or failed (3).
struct TResultNodeData {
    TSharedString FolderPath;  // holding folder relative to the root (the entry's Path)
    std::string Name;          // entry name; on the root row the task's name
    int32_t RightDate = 0;
    int64_t RightSize = 0;  // on a folder row: summed over the rows below it
    int32_t RightAttr = 0;
    int32_t Action = -1;  // action code; -1 on the root row
    int32_t LeftDate = 0;
    int64_t LeftSize = 0;  // on a folder row: summed over the rows below it
    int32_t LeftAttr = 0;
    int32_t IsFolder = 0;
    int32_t LtoRCount = 0;    // left-to-right entries at and below the row
    int32_t RtoLCount = 0;    // right-to-left entries at and below the row
    int32_t ImageIndex = 0;   // 7 root row, 5 folder, 6 file without a type icon, 13+ type icons
    TFileTreeRef ResultNode;  // the result node shown; none on the root row
};

// A row of the ordered tree of rows: the root row first, every other row below it, mirroring the
// nesting of the result tree.
class TPlanRow {
  public:
    TResultNodeData Data;
    TPlanRow* Parent = nullptr;
    int32_t Index = 0;  // position among the parent's children (a view model's row number)
    std::vector<std::unique_ptr<TPlanRow>> Children;

    TPlanRow() = default;
    TPlanRow(const TPlanRow&) = delete;
    TPlanRow& operator=(const TPlanRow&) = delete;
    // Takes the rows below apart level by level: a plan as deep as its tree must not cost a stack
    // frame per level when it goes.
    ~TPlanRow() {
        std::vector<std::unique_ptr<TPlanRow>> pending = std::move(Children);
        while (!pending.empty()) {
            std::unique_ptr<TPlanRow> row = std::move(pending.back());
            pending.pop_back();
            for (auto& child : row->Children) pending.push_back(std::move(child));
            row->Children.clear();
        }
    }

    TPlanRow* AddChild() {
        Children.push_back(std::make_unique<TPlanRow>());
        Children.back()->Parent = this;
        Children.back()->Index = static_cast<int32_t>(Children.size() - 1);
        return Children.back().get();
    }
};

// Image indexes of the plan's first column.
constexpr int32_t IMAGE_FOLDER = 5;
constexpr int32_t IMAGE_FILE = 6;
constexpr int32_t IMAGE_TASK = 7;

}  // namespace bfs
