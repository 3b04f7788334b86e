#include "module/Utils.h"

#include "common/SysUtils.h"
#include "common/SysUtilsFiles.h"

namespace orvo {
namespace {

// True when a folder the host may not list is noted in `Unread`, to be passed over.
bool NoteUnread(int32_t code, const std::string& Folder, TUnreadFolders& Unread) {
  if (static_cast<WinError>(code) != kErrorAccessDenied) return false;
  Unread.push_back({Folder, code});
  return true;
}

// Ends a search loop of `Folder`; true when it ended with no further entry. The codes that say
// nothing (more) matches end it quietly, a folder that may not be listed is noted; any other is
// a failed search, which must not pass for a shorter listing.
bool EndSearch(int32_t code, const std::string& Folder, TUnreadFolders& Unread) {
  switch (static_cast<WinError>(code)) {
    case kErrorFileNotFound:
    case kErrorPathNotFound:
    case kErrorNoMoreFiles:
    case kErrorInvalidName:
    case kErrorFilenameExcedRange:
    case kErrorDirectory:
      return true;
    default:
      if (NoteUnread(code, Folder, Unread)) return false;
      throw EInOutError(InOutMessage(static_cast<WinError>(code)), code);
  }
}

// A mask names files of the folder searched; a path part would search another folder and list
// its files under this one's name.
bool HasPathPart(const std::string& Mask) {
  return Mask.find_first_of("\\/:") != std::string::npos;
}

}  // namespace

std::string ListFiles(const std::string& Folder, const std::string& Mask, TUnreadFolders& Unread) {
  std::string text;
  WalkFiles(
      Folder, Mask,
      [&text](const std::string& Path, const FindData&) {
        text += Path;
        text += "\r\n";
      },
      Unread);
  return text;
}

void CollectFiles(const std::string& Folder, const std::string& Mask, TStrings& List,
                  TUnreadFolders& Unread) {
  WalkFiles(
      Folder, Mask, [&List](const std::string& Path, const FindData&) { List.Add(Path); }, Unread);
}

void WalkFiles(const std::string& Folder, const std::string& Mask, const TFileFound& Found,
               TUnreadFolders& Unread) {
  // Each step would otherwise prove every folder above it again, four times per folder.
  const std::unique_ptr<FolderHold> hold = Host::Default().HoldFolders();
  const std::string saved = GetWorkDir();
  SetWorkDir(Folder);

  TSearchRec rec;
  int32_t found = SearchFirstFolder("*.*", attrDirectory, rec);
  for (; found == 0; found = SearchNext(rec)) {
    // A folder with any further attribute bit is not walked into.
    if (rec.AttrBits() == attrDirectory && rec.EntryName != "." && rec.EntryName != "..") {
      WalkFiles(Folder + "\\" + rec.EntryName, Mask, Found, Unread);
    }
  }
  SearchClose(rec);
  if (EndSearch(found, Folder, Unread) && !HasPathPart(Mask)) {
    for (found = SearchFirst(Mask, attrArchive, rec); found == 0; found = SearchNext(rec)) {
      Found(Folder + "\\" + rec.EntryName, rec.Data);
    }
    SearchClose(rec);
    EndSearch(found, Folder, Unread);
  }
  SetWorkDir(saved);
}

std::string UnreadNote(const TUnreadFolders& Unread) {
  std::string note;
  for (const TUnreadFolder& folder : Unread) {
    if (!note.empty()) note += "; ";
    note += "Cannot list folder \"" + folder.Folder +
            "\": " + InOutMessage(static_cast<WinError>(folder.Code));
  }
  return note;
}

TDateTime FileDateOf(const FindData& Entry) {
  const int32_t stamp = FileStampOf(Entry);
  return stamp == -1 ? Now() : FileStampToDateTime(stamp);
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
