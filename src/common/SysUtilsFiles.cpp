#include "common/SysUtilsFiles.h"

#include <vector>

#include "common/SysUtils.h"
#include "common/SysUtilsConvert.h"
#include "common/SysUtilsText.h"

namespace orvo {

std::string InOutMessage(WinError code) {
  switch (code) {
    case 2:
      return "File not found";
    case 3:
      return "Invalid filename";
    case 4:
      return "Too many open files";
    case 5:
      return "File access denied";
    case 100:
      return "Read beyond end of file";
    case 101:
      return "Disk full";
    case 106:
      return "Invalid numeric input";
    default:
      return "I/O error " + IntToStr(code);
  }
}

namespace {

constexpr int32_t kFilterableAttrs = attrHidden | attrSystem | attrVolume | attrDirectory;

// Passes over the entries the filter excludes; the current entry is in rec.Data.
WinError SkipFiltered(TSearchRec& rec) {
  while ((rec.Data.FilterBits() & rec.SkipAttrs) != 0) {
    if (WinError error = rec.Search->Next(&rec.Data)) return error;
  }
  rec.EntryName = rec.Data.name;
  return kErrorSuccess;
}

// Where a name ends its path: the host takes '/' as a separator as it takes '\\'.
constexpr char kNameDelimiters[] = "\\/:";
constexpr char kExtensionDelimiters[] = ".\\/:";

size_t LastDelimiter(const std::string& name, const char* delimiters) {
  return name.find_last_of(delimiters);
}

}  // namespace

int32_t FileStamp(const std::string& name) {
  Host& host = Host::Default();
  std::unique_ptr<DirSearch> search;
  FindData entry;
  if (host.FindFirst(name, &search, &entry) != kErrorSuccess) return -1;
  search.reset();
  return FileStampOf(entry);
}

int32_t FileStampOf(const FindData& entry) {
  if ((entry.FilterBits() & attrDirectory) != 0) return -1;
  int32_t stamp = 0;
  if (!FileTimeToDosDateTime(Host::Default().UtcToLocalFileTime(entry.LastWriteTime()), &stamp)) {
    return -1;
  }
  return stamp;
}

bool FileIsPresent(const std::string& name) { return FileStamp(name) != -1; }

bool DirIsPresent(const std::string& name) {
  uint32_t attributes = 0;
  return Host::Default().GetAttributes(name, &attributes) == kErrorSuccess &&
         (attributes & attrDirectory) != 0;
}

bool CreateDirPath(const std::string& dir) {
  if (dir.empty()) throw EInOutError("Unable to create directory", 3);
  Host& host = Host::Default();
  // Made where the resolved path says: "NOVA\.", "NOVA\x\.." or "NOVA//sub" name no folder of
  // their own, and nothing is made for a path that only resolves to one.
  std::string path;
  if (host.FullPathName(dir, &path) != kErrorSuccess) return false;
  const std::string full = path;
  // Looks from the folder outwards for the first one present, then creates the missing ones
  // inwards. Each level is a prefix of the full path (its folder part without the final
  // backslash), so one buffer cut back and grown again serves every level: the cost stays
  // linear in the path.
  std::vector<size_t> missing;  // lengths of the folders to create, innermost first
  for (;;) {
    if (!path.empty() && path.back() == '\\') path.pop_back();
    if (path.size() < 3 || DirIsPresent(path)) break;
    size_t last = LastDelimiter(path, "\\:");
    if (last == path.size() - 1) break;  // a bare drive ("C:"): nothing to create there
    missing.push_back(path.size());
    path.resize(last == std::string::npos ? 0 : last + 1);
  }
  // A folder the host refuses whatever the disk holds is refused before any folder above it is
  // made: nothing is left behind.
  if (!missing.empty() && host.CheckPath(dir, PathUse::kNewFolder) != kErrorSuccess) return false;
  for (auto length = missing.rbegin(); length != missing.rend(); ++length) {
    path.append(full, path.size(), *length - path.size());
    if (host.CreateFolder(path) != kErrorSuccess) return false;
  }
  return true;
}

namespace {

int32_t StartSearch(const std::string& pattern, uint8_t filter, bool foldersOnly, TSearchRec& rec) {
  SearchClose(rec);
  rec.SkipAttrs = ~static_cast<int32_t>(filter) & kFilterableAttrs;
  Host& host = Host::Default();
  WinError error = foldersOnly ? host.FindFirstFolder(pattern, &rec.Search, &rec.Data)
                               : host.FindFirst(pattern, &rec.Search, &rec.Data);
  if (error == kErrorSuccess) error = SkipFiltered(rec);
  if (error != kErrorSuccess) SearchClose(rec);
  return static_cast<int32_t>(error);
}

}  // namespace

int32_t SearchFirst(const std::string& pattern, uint8_t filter, TSearchRec& rec) {
  return StartSearch(pattern, filter, false, rec);
}

int32_t SearchFirstFolder(const std::string& pattern, uint8_t filter, TSearchRec& rec) {
  return StartSearch(pattern, filter, true, rec);
}

int32_t SearchNext(TSearchRec& rec) {
  if (!rec.Search) return static_cast<int32_t>(kErrorInvalidHandle);
  WinError error = rec.Search->Next(&rec.Data);
  if (error == kErrorSuccess) error = SkipFiltered(rec);
  return static_cast<int32_t>(error);
}

void SearchClose(TSearchRec& rec) { rec.Search.reset(); }

bool RenameEntry(const std::string& oldName, const std::string& newName) {
  return Host::Default().MovePath(oldName, newName, false) == kErrorSuccess;
}

std::string ReplaceFileExt(const std::string& name, const std::string& ext) {
  size_t last = LastDelimiter(name, kExtensionDelimiters);
  if (last != std::string::npos && name[last] == '.') return name.substr(0, last) + ext;
  return name + ext;
}

std::string ExtractFilePath(const std::string& name) {
  size_t last = LastDelimiter(name, kNameDelimiters);
  return last == std::string::npos ? "" : name.substr(0, last + 1);
}

std::string ExtractFileLeaf(const std::string& name) {
  size_t last = LastDelimiter(name, kNameDelimiters);
  return last == std::string::npos ? name : name.substr(last + 1);
}

std::string GetWorkDir() { return Host::Default().GetCurrentFolder(); }

std::string FileStreamMessage(const std::string& verb, const std::string& fileName,
                              WinError error) {
  Host& host = Host::Default();
  std::string full;
  if (host.FullPathName(fileName, &full) != kErrorSuccess) full = fileName;
  std::string text = host.ErrorText(error);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.')) {
    text.pop_back();
  }
  return "Cannot " + verb + " file \"" + full + "\". " + text;
}

void SetWorkDir(const std::string& dir) {
  WinError error = Host::Default().SetCurrentFolder(dir);
  if (error != kErrorSuccess) throw EInOutError(InOutMessage(error), static_cast<int32_t>(error));
}

}  // namespace orvo
