#include "module/Utils.h"

#include "common/SysUtils.h"
#include "common/SysUtilsFiles.h"

namespace orvo {
namespace {

// Ends a search loop: the codes that say nothing (more) matches end it quietly; any other is a
// failed search, which must not pass for a shorter listing.
void EndSearch(int32_t code) {
  switch (static_cast<WinError>(code)) {
    case kErrorFileNotFound:
    case kErrorPathNotFound:
    case kErrorNoMoreFiles:
    case kErrorInvalidName:
    case kErrorFilenameExcedRange:
    case kErrorDirectory:
      return;
    default:
      throw EInOutError(InOutMessage(static_cast<WinError>(code)), code);
  }
}

}  // namespace

std::string ListFiles(const std::string& Folder, const std::string& Mask) {
  TStringList list;
  CollectFiles(Folder, Mask, list);
  return list.Text();
}

void CollectFiles(const std::string& Folder, const std::string& Mask, TStrings& List) {
  const std::string saved = GetWorkDir();
  SetWorkDir(Folder);

  TSearchRec rec;
  int32_t found = SearchFirstFolder("*.*", attrDirectory, rec);
  for (; found == 0; found = SearchNext(rec)) {
    // A folder with any further attribute bit is not walked into.
    if (rec.AttrBits == attrDirectory && rec.EntryName != "." && rec.EntryName != "..") {
      CollectFiles(Folder + "\\" + rec.EntryName, Mask, List);
    }
  }
  SearchClose(rec);
  EndSearch(found);

  for (found = SearchFirst(Mask, attrArchive, rec); found == 0; found = SearchNext(rec)) {
    List.Add(Folder + "\\" + rec.EntryName);
  }
  SearchClose(rec);
  EndSearch(found);

  SetWorkDir(saved);
}

TDateTime GetFileDate(const std::string& FileName) {
  const TDateTime now = Now();
  const int32_t stamp = FileStamp(FileName);
  return stamp == -1 ? now : FileStampToDateTime(stamp);
}

std::string ReplaceText(const std::string& Text, const std::string& Search,
                        const std::string& Replacement) {
  if (Search.empty()) return Text;
  std::string result;
  size_t at = 0;
  for (size_t found; (found = Text.find(Search, at)) != std::string::npos;
       at = found + Search.size()) {
    result.append(Text, at, found - at);
    result += Replacement;
  }
  result.append(Text, at);
  return result;
}

}  // namespace orvo
