#pragma once

#include "model/UTFileOper.h"
#include "model/UTFileTree.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace bfs {

class TSyncTask;

// What a side's new saved state is made from. Every tree is optional (null: nothing known).
struct TStateSources {
    const TFileTree* Result = nullptr;    // the analysis result, after the sync walk marked what it did
    const TFileTree* Seen = nullptr;      // the side's listing that the analysis worked from
    const TFileTree* Previous = nullptr;  // the side's saved state, when the analysis used it
    const TFileTree* Relisted = nullptr;  // the side listed again after the walk wrote to it
};

// The saved-state text of one side (Side 0 left, 1 right) after a run. It records only what the run
// saw and carried out, so that anything else is still a change at the next run:
// - an entry whose operation the walk carried out (TFileTree::DoneAction): on the side it wrote, the
//   entry as Relisted shows it when it still has the size and date the walk wrote (else the previous
//   saved entry); a deletion leaves no entry; on the side it read from, the entry as Seen;
// - an entry that ran nothing (18, 21, a folder whose code was not decided): the entry as Seen;
// - everything else (conflicts, failures, rows not reached or not shown, excluded and held-back
//   entries, entries the analysis never saw): the previous saved entry, or none.
// Entries that appeared after the analysis are never recorded. A folder is kept while anything
// below it is. Every level is merged in listing order in one pass; nothing recurses.
std::string BuildSavedState(int Side, const TStateSources& Sources, std::string_view RootText);

// Builds both sides' new states (at once) and writes each that differs from the stored one, where
// the task keeps it: through Writers[i] into side i's marker folder, or locally. Hashes hold the
// stored texts' fingerprints (TFileTree::TextHash, 0 for none) and become those of what each side's
// state now holds. A side with Skip set is already current and left alone. Failures are logged.
// Returns the sides whose state could not be built or written: STATE_LEFT_NOT_WRITTEN and
// STATE_RIGHT_NOT_WRITTEN, 0 when every side is current. Reasons, when given, receives for each
// side not written what stood in the way, where that is known (else empty).
inline constexpr int STATE_LEFT_NOT_WRITTEN = 1;
inline constexpr int STATE_RIGHT_NOT_WRITTEN = 2;
int SaveStates(const TSyncTask& Task, const TStateSources (&Sources)[2], TFileOper* const (&Writers)[2],
               const bool (&Skip)[2], uint64_t (&Hashes)[2], std::string (*Reasons)[2] = nullptr);

// The log line for a side whose state SaveStates could not write (it names the side's folder, and
// Why when not empty).
std::string StateNotWrittenLine(const TSyncTask& Task, int Side, const std::string& Why = {});

// Writes a side's saved state to its local file (Side 0 left, 1 right): 0 or an errno.
int32_t SaveStateLocalFile(const TSyncTask& Task, const std::string& Text, int Side);

}  // namespace bfs
