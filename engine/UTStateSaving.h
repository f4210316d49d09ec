#pragma once

#include <string_view>

#include "model/UTFileTree.h"

namespace bfs {

// How a side's new saved state is made from its fresh listing after a sync, so that it forgets
// nothing that was not synced.

// The node of the entry Path + Name (Path "/" or "/docs/"; folders and files are told apart, as in
// the listing order), or none. Every level of Root must be in listing order.
TFileTree* FindEntry(TFileTree& Root, std::string_view Path, std::string_view Name, bool IsFolder);

// Folders of NewState whose contents could not be listed (NotListed) take their contents from the
// previous saved state, so a folder that was unreadable now is not recorded as emptied.
void KeepUnlisted(TFileTree& NewState, const TFileTree* Previous);

// For every entry of Result whose action did not end done (anything but 18, 21 or an undecided
// folder; entries the filters excluded count as done), NewState gets that entry's previous saved
// entry back, or loses the entry when the previous state had none. A folder keeps what lies below
// it; only its own entry is restored. Previous may be null or empty (no saved state).
void KeepUnsynced(TFileTree& NewState, const TFileTree* Previous, const TFileTree& Result);

}  // namespace bfs
