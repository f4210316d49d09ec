#pragma once

#include "model/UTFileOper.h"

#include <memory>

namespace bfs {

// The back-end of a local folder (kind 1). The class itself lives in the .cpp.
std::unique_ptr<TFileOper> CreateWinFileOper(bool FreeOnTerminate);

}  // namespace bfs
