// What a directory search yields, the same on every host: the program's own matcher on the long
// names, "." and ".." first but at a drive root, only names the program could name again.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/Host.h"

namespace orvo {

// True when a search for `leaf` (a pattern's last component) in a folder, a drive root when
// `atRoot`, yields the entry `name` (code page 1252).
bool SearchYields(const std::string& leaf, bool atRoot, const std::string& name);

// Starts a search over entries gathered beforehand, in their order: the first one in `*first`,
// the rest from `*search`. kErrorFileNotFound when there are none.
WinError StartGatheredSearch(std::vector<FindData> entries, std::unique_ptr<DirSearch>* search,
                             FindData* first);

}  // namespace orvo
