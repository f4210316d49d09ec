#pragma once

#include "model/UTFileOper.h"

#include <cstdint>

namespace bfs {

// Compares the contents of one entry on two sides: 0 equal, 1 different, -1 could not tell (a side
// could not be read, or a file no longer has the size and date it was listed with). Sizes first;
// then the digests the sides keep themselves (TFileOper::ContentDigest) where both give one of a
// kind; then, where one side gives one, the other side's file digested the same way; else both
// files byte by byte. A remote side's file is first copied to a private staging file, removed
// afterwards.
int32_t CompareEntryContents(TFileOper& Left, TFolderSource& LeftFolder, const TFileAttri& LeftEntry,
                             TFileOper& Right, TFolderSource& RightFolder, const TFileAttri& RightEntry);

}  // namespace bfs
