#pragma once

namespace bfs {

// Seeds the program folder on the first start: every default file compiled into the program
// ("Tessmarin.ini", the language files) that the folder lacks is written there. Files the user
// already has are never replaced. Returns 0, or the number of files that could not be written.
int SeedProgramFolder();

}  // namespace bfs
