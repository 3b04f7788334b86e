// A host of this platform whose drives are the folders under a root of the test's own.
#pragma once

#include <memory>
#include <string>

#include "host/Host.h"

namespace orvo {

// Drive X is the folder <root>/x ("D:\Movel" is <root>/d/Movel), the share \\srv\lotes the folder
// <root>/unc/srv/lotes; a drive without its folder is
// missing. On Linux this is the program's own host; on Windows the system's host with its drives
// mapped under the root, its current folder its own, and its per-user store under a key of the
// root's own, removed with the host.
std::unique_ptr<Host> NewDriveRootHost(const std::string& root);

}  // namespace orvo
