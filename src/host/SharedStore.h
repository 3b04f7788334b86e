// What the operator should know about a data root that lives, wholly or in part, on a file system
// shared with other machines (several front ends over one volume).
#pragma once

#include <string>
#include <vector>

namespace orvo {

// One line for each volume mounted in the data root that other machines share (network and FUSE
// file systems), and for each share folder of the data root on which no volume is mounted; empty
// when there is nothing to say. Defined where the data root is a folder of the host (Linux).
std::vector<std::string> SharedStoreNotes();

}  // namespace orvo
