// The directory walk and the small file routines that the handlers share.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/Classes.h"
#include "common/SysUtilsConvert.h"
#include "host/Host.h"

namespace orvo {

// A folder that a walk could not list, as the walk named it, with the host's code.
struct TUnreadFolder {
  std::string Folder;
  int32_t Code = 0;
};
using TUnreadFolders = std::vector<TUnreadFolder>;

// Called by a walk for each file it finds: its path and the search's entry (whose time and size
// the host may read only when asked for).
using TFileFound = std::function<void(const std::string& Path, const FindData& Entry)>;

// Calls `Found` with Folder + "\" + name for every file below `Folder` that matches `Mask`, the
// files of the sub-folders first (depth first), then those of `Folder` itself. Walks only into
// plain folders (attribute word exactly 16); hidden and system entries are never listed. A mask
// is a name: one with a path part ('\', '/' or a drive's ':') matches nothing, as a name that is
// not valid. Changes the current directory while it walks, and holds the folders it reaches
// (Host::HoldFolders): others' changes to them may go unseen until it ends. A folder that the host
// enters but may not list (access denied) is passed over and added to `Unread`; EInOutError when a
// folder cannot be entered (a folder outside the allowed ones among them) or a search fails
// otherwise (the walk then stops where it is).
void WalkFiles(const std::string& Folder, const std::string& Mask, const TFileFound& Found,
               TUnreadFolders& Unread);

// Adds the path of every file that WalkFiles finds to `List`.
void CollectFiles(const std::string& Folder, const std::string& Mask, TStrings& List,
                  TUnreadFolders& Unread);

// The full path of every file that WalkFiles finds, each followed by CR LF; "" when nothing
// matches.
std::string ListFiles(const std::string& Folder, const std::string& Mask, TUnreadFolders& Unread);

// One line for the operator naming the folders a listing left out and why.
std::string UnreadNote(const TUnreadFolders& Unread);

// The local last-write time of an entry a search found, as GetFileDate.
TDateTime FileDateOf(const FindData& Entry);

// The local last-write time of the file, seconds rounded down to even; the current date and
// time when there is no such file, when it is a folder or when its time has no packed form.
TDateTime GetFileDate(const std::string& FileName);

// `Text` with every occurrence of `Search` replaced by `Replacement`, scanning left to right.
std::string ReplaceText(const std::string& Text, const std::string& Search,
                        const std::string& Replacement);

}  // namespace orvo
