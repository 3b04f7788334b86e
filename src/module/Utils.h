// The directory walk and the small file routines that the handlers share.
#pragma once

#include <string>

#include "common/Classes.h"
#include "common/SysUtilsConvert.h"

namespace orvo {

// The full path of every file below `Folder` that matches `Mask`, each followed by CR LF, in
// the order of CollectFiles; "" when nothing matches. EInOutError as CollectFiles.
std::string ListFiles(const std::string& Folder, const std::string& Mask);

// Adds Folder + "\" + name for every file matching `Mask`, the files of the sub-folders first
// (depth first), then those of `Folder` itself. Walks only into plain folders (attribute word
// exactly 16); hidden and system entries are never listed. Changes the current directory while
// it walks; EInOutError when a folder cannot be entered or a search fails (the walk then stops
// where it is).
void CollectFiles(const std::string& Folder, const std::string& Mask, TStrings& List);

// The local last-write time of the file, seconds rounded down to even; the current date and
// time when there is no such file, when it is a folder or when its time has no packed form.
TDateTime GetFileDate(const std::string& FileName);

// `Text` with every occurrence of `Search` replaced by `Replacement`, scanning left to right.
std::string ReplaceText(const std::string& Text, const std::string& Search,
                        const std::string& Replacement);

}  // namespace orvo
