#pragma once

#include <string>
#include <string_view>

namespace bfs {

class TFileTree;

// The listing order, the same for every listing, every loaded saved state and every merge:
// folders first, then files; within each group ascending by Unicode case-folded name, exact bytes
// as tie-break. Never depends on the user's locale. Names that are not valid UTF-8 fold as their
// bytes. Returns <0, 0 or >0; 0 only for byte-identical names.
int CompareNames(std::string_view a, std::string_view b);

// The case-folded key of a name (the first criterion of CompareNames).
std::string FoldName(std::string_view name);

// The order of two entries of one level: folders first, then CompareNames.
int CompareListOrder(const TFileTree& a, const TFileTree& b);

// Puts the children of Node (only this level) into listing order. Cheap when already in order.
void SortLevel(TFileTree& Node);

}  // namespace bfs
