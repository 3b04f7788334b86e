// Folders, directory searches, renames, the current directory and the error texts.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "host/HostSearch.h"
#include "host/WindowsNames.h"
#include "host/windows/Win32.h"
#include "host/windows/WindowsHost.h"

namespace orvo {

using windows::Check;
using windows::LastError;

namespace {

// A 1252 path as the system's UTF-16, as the ANSI calls convert it.
std::wstring Wide(const std::string& text) {
  int length =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// A long name in the ANSI code page, exactly; nullopt for one that has no such form (the ANSI
// calls would give a '?' or a look-alike letter in its place, which names another file).
std::optional<std::string> Narrow(const wchar_t* name) {
  BOOL replaced = FALSE;
  int length =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name, -1, nullptr, 0, nullptr, &replaced);
  if (length <= 0 || replaced) return std::nullopt;
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name, -1, narrow.data(), length, nullptr,
                      nullptr);
  narrow.pop_back();  // the terminating zero
  return narrow;
}

FindData MakeFindData(std::string name, const WIN32_FIND_DATAW& data) {
  FindData::Details details;
  details.attributes = data.dwFileAttributes;
  details.lastWriteTime = windows::FromFileTime(data.ftLastWriteTime);
  details.size =
      static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  return FindData(std::move(name), details);
}

class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  ~FindHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Every entry that the system finds for `pattern` (FindExInfoBasic: no 8.3 names), or the
// system's error when it finds none.
WinError FindAll(const std::string& pattern, bool foldersOnly,
                 std::vector<std::pair<std::string, WIN32_FIND_DATAW>>* found) {
  WIN32_FIND_DATAW data;
  FindHandle handle(FindFirstFileExW(
      Wide(pattern).c_str(), FindExInfoBasic, &data,
      foldersOnly ? FindExSearchLimitToDirectories : FindExSearchNameMatch, nullptr, 0));
  if (handle.get() == INVALID_HANDLE_VALUE) return windows::LastErrorOn(pattern);
  do {
    if (std::optional<std::string> name = Narrow(data.cFileName)) found->emplace_back(*name, data);
  } while (FindNextFileW(handle.get(), &data));
  return kErrorSuccess;
}

bool IsDotName(const std::string& name) { return name == "." || name == ".."; }

// "." and ".." first, then NTFS order, as the Linux host yields them whatever the file system.
void SortEntries(std::vector<FindData>* entries) {
  std::stable_sort(entries->begin(), entries->end(), [](const FindData& a, const FindData& b) {
    if (IsDotName(a.name) || IsDotName(b.name)) return IsDotName(a.name) && !IsDotName(b.name);
    return NtfsSortKey(a.name) < NtfsSortKey(b.name);
  });
}

// Runs a call that fills a text buffer the Win32 way: it returns the length written, or the
// size it needs (terminating zero included) when the buffer is too small, or 0 on failure.
template <typename Fill>
std::optional<std::string> FillText(Fill fill) {
  std::string text(MAX_PATH + 1, '\0');
  for (;;) {
    DWORD length = fill(static_cast<DWORD>(text.size()), text.data());
    if (length == 0) return std::nullopt;
    if (length < text.size()) {
      text.resize(length);
      return text;
    }
    text.resize(length);
  }
}

// Marks the entry open as `handle` for deletion when its last handle closes: the entry itself,
// as the system opened it.
WinError Dispose(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return Check(
      SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition));
}

// Renames the entry open as `handle` to the full system path `to`.
WinError Rename(HANDLE handle, const std::string& to, bool replace) {
  // The system's own form of a full path: "\??\D:\...", and a share's "\??\UNC\server\...".
  const bool share = to.rfind("\\\\", 0) == 0;
  const std::wstring name = (share ? L"\\??\\UNC\\" : L"\\??\\") + Wide(share ? to.substr(2) : to);
  const size_t bytes = name.size() * sizeof(wchar_t);
  std::vector<char> buffer(offsetof(FILE_RENAME_INFO, FileName) + bytes + sizeof(wchar_t), 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(bytes);
  std::copy(name.begin(), name.end(), info->FileName);
  return Check(
      SetFileInformationByHandle(handle, FileRenameInfo, info, static_cast<DWORD>(buffer.size())));
}

// The attribute word of the entry open as `handle`; 0 when the system cannot say.
DWORD HandleAttributes(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(handle, &info) ? info.dwFileAttributes : 0;
}

// The process's current directory as the host's first current folder; "C:\" when the process
// runs somewhere the gate would not pass (a share, a long path).
WindowsPath ProcessFolder() {
  std::optional<std::string> text =
      FillText([](DWORD size, char* buffer) { return GetCurrentDirectoryA(size, buffer); });
  PathGate gate;
  GatedPath folder;
  if (text && gate.Pass(*text, PathUse::kCurrentFolder, &folder) == kErrorSuccess) return *folder;
  return WindowsPath{};
}

}  // namespace

WindowsHost::WindowsHost() : WindowsHost(ProcessFolder()) {}

WinError WindowsHost::SystemPath(const GatedPath& path, std::string* system) {
  *system = path->Text();
  return kErrorSuccess;
}

WinError WindowsHost::Pass(const std::string& given, PathUse use, GatedPath* full,
                           std::string* system) {
  if (WinError error = gate_.Pass(given, use, full)) return error;
  if (WinError error = SystemPath(*full, system)) return error;
  return RefuseAliases(*full);
}

WinError WindowsHost::RefuseAliases(const GatedPath& path) {
  const std::vector<std::string>& components = path->components;
  for (size_t i = 0; i < components.size(); ++i) {
    // Every alias holds a '~'; a pattern's wildcards match long names only (Search).
    if (components[i].find('~') == std::string::npos || HasWildcards(components[i])) continue;
    std::string system;
    if (SystemPath(path.Prefix(i + 1), &system) != kErrorSuccess) return kErrorSuccess;
    WIN32_FIND_DATAW data;
    FindHandle found(FindFirstFileExW(Wide(system).c_str(), FindExInfoBasic, &data,
                                      FindExSearchNameMatch, nullptr, 0));
    if (found.get() == INVALID_HANDLE_VALUE) return kErrorSuccess;  // nothing by that name
    std::optional<std::string> name = Narrow(data.cFileName);
    if (name && SameNameIgnoringCase(*name, components[i])) continue;
    return i + 1 == components.size() ? kErrorFileNotFound : kErrorPathNotFound;
  }
  return kErrorSuccess;
}

WinError WindowsHost::GetAttributes(const std::string& path, uint32_t* attributes) {
  GatedPath full;
  std::string system;
  if (WinError error = Pass(path, PathUse::kLookup, &full, &system)) return error;
  HeldHandle held;
  if (WinError error = HoldParent(full, &held)) return error;
  DWORD word = GetFileAttributesA(system.c_str());
  if (word == INVALID_FILE_ATTRIBUTES) return windows::LastErrorOn(system);
  if (WinError error = CheckFinalSeparator(*full, word)) return error;
  *attributes = word;
  return kErrorSuccess;
}

WinError WindowsHost::FindFirst(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                                FindData* first) {
  return Search(pattern, false, search, first);
}

WinError WindowsHost::FindFirstFolder(const std::string& pattern,
                                      std::unique_ptr<DirSearch>* search, FindData* first) {
  return Search(pattern, true, search, first);
}

WinError WindowsHost::Search(const std::string& pattern, bool foldersOnly,
                             std::unique_ptr<DirSearch>* search, FindData* first) {
  GatedPath full;
  std::string system;
  if (WinError error = Pass(pattern, PathUse::kPattern, &full, &system)) return error;
  if (full->IsRoot() || full->trailingSeparator) return kErrorFileNotFound;
  HeldHandle held;
  if (WinError error = HoldParent(full, &held)) return error;
  const std::string& leaf = full->components.back();
  bool atRoot = full->components.size() == 1;
  bool wildcards = HasWildcards(leaf);
  // With wildcards every long name of the folder is listed and matched here; a plain name is
  // looked up, and counts only when it is the entry's long name (not its 8.3 alias).
  std::string systemPattern = wildcards ? system.substr(0, system.rfind('\\') + 1) + "*" : system;
  std::vector<std::pair<std::string, WIN32_FIND_DATAW>> found;
  if (WinError error = FindAll(systemPattern, foldersOnly && wildcards, &found)) return error;
  std::vector<FindData> entries;
  for (auto& [name, data] : found) {
    bool yields = wildcards ? SearchYields(leaf, atRoot, name)
                            : CanNameAgain(name) && SameNameIgnoringCase(name, leaf);
    if (yields) entries.push_back(MakeFindData(std::move(name), data));
  }
  SortEntries(&entries);
  return StartGatheredSearch(std::move(entries), search, first);
}

WinError WindowsHost::CreateFolder(const std::string& path) { return MakeFolder(path, 0); }

// The walk of a listing enters only folders without further attributes.
WinError WindowsHost::CreateHiddenFolder(const std::string& path) {
  return MakeFolder(path, FILE_ATTRIBUTE_HIDDEN);
}

WinError WindowsHost::MakeFolder(const std::string& path, uint32_t attributes) {
  GatedPath full;
  std::string system;
  if (WinError error = Pass(path, PathUse::kNewFolder, &full, &system)) return error;
  HeldHandle held;
  if (WinError error = HoldParent(full, &held)) return error;
  if (WinError error = windows::CheckOn(CreateDirectoryA(system.c_str(), nullptr), system)) {
    return error;
  }
  if (attributes == 0) return kErrorSuccess;
  if (WinError error = windows::CheckOn(SetFileAttributesA(system.c_str(), attributes), system)) {
    RemoveDirectoryA(system.c_str());
    return error;
  }
  return kErrorSuccess;
}

// Removals and moves act through a handle of the entry itself (OpenEntry), never by name.
WinError WindowsHost::RemoveFolder(const std::string& path) {
  GatedPath full;
  std::string system;
  if (WinError error = Pass(path, PathUse::kLookup, &full, &system)) return error;
  HeldHandle held, entry;
  if (WinError error = HoldParent(full, &held)) return error;
  if (WinError error = OpenEntry(full, DELETE, true, &entry)) return error;
  if ((HandleAttributes(entry.get()) & FILE_ATTRIBUTE_DIRECTORY) == 0) return kErrorDirectory;
  return Dispose(entry.get());
}

WinError WindowsHost::RemoveFile(const std::string& path) {
  GatedPath full;
  std::string system;
  if (WinError error = Pass(path, PathUse::kFile, &full, &system)) return error;
  HeldHandle held, entry;
  if (WinError error = HoldParent(full, &held)) return error;
  if (WinError error = OpenEntry(full, DELETE, false, &entry)) return error;
  if ((HandleAttributes(entry.get()) & FILE_ATTRIBUTE_DIRECTORY) != 0) return kErrorAccessDenied;
  return Dispose(entry.get());
}

WinError WindowsHost::MovePath(const std::string& from, const std::string& to, bool replace) {
  GatedPath source, dest;
  std::string oldName, newName;
  if (WinError error = Pass(from, PathUse::kMoved, &source, &oldName)) return error;
  if (WinError error = Pass(to, PathUse::kMoved, &dest, &newName)) return error;
  HeldHandle oldFolder, newFolder, entry;
  if (WinError error = HoldParent(source, &oldFolder)) return error;
  if (WinError error = HoldParent(dest, &newFolder)) return error;
  if (WinError error = OpenEntry(source, DELETE, true, &entry)) return error;
  if (!replace) return Rename(entry.get(), newName, false);
  // A read-only file is not replaced (Wine would replace it).
  DWORD target = GetFileAttributesA(newName.c_str());
  if (target != INVALID_FILE_ATTRIBUTES && (target & FILE_ATTRIBUTE_READONLY) != 0) {
    return kErrorAccessDenied;
  }
  // (MOVEFILE_WRITE_THROUGH, used before, flushes only a move done as a copy between volumes,
  // which a rename refuses.)
  WinError error = Rename(entry.get(), newName, true);
  if (error != kErrorAccessDenied) return error;
  // The system refuses to replace a file that another open holds with "access denied"; say
  // what the open of the file itself would say, as the Linux host does.
  HANDLE held = CreateFileA(newName.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held != INVALID_HANDLE_VALUE) {
    CloseHandle(held);
    return error;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION ? kErrorSharingViolation : error;
}

WinError WindowsHost::CheckPath(const std::string& path, PathUse use) {
  return gate_.Check(path, use);
}

WinError WindowsHost::FullPathName(const std::string& path, std::string* full) {
  return gate_.FullName(path, full);
}

std::string WindowsHost::GetCurrentFolder() { return gate_.Current().Text(); }

WinError WindowsHost::SetCurrentFolder(const std::string& path) {
  // The host keeps its own current folder, which the gate resolves against: the process's
  // stays where it started.
  GatedPath full;
  std::string system;
  if (WinError error = Pass(path, PathUse::kCurrentFolder, &full, &system)) return error;
  HeldHandle held;
  if (WinError error = HoldInside(full, full->components.size(), &held)) return error;
  DWORD word = GetFileAttributesA(system.c_str());
  if (word == INVALID_FILE_ATTRIBUTES) return windows::LastErrorOn(system);
  if ((word & FILE_ATTRIBUTE_DIRECTORY) == 0) return kErrorDirectory;
  gate_.SetCurrent(full);
  return kErrorSuccess;
}

std::shared_ptr<const AllowedFolders> WindowsHost::Confine(
    std::shared_ptr<const AllowedFolders> allowed) {
  return gate_.Confine(std::move(allowed));
}

std::string WindowsHost::ErrorText(WinError code) {
  // English first, as the program's other messages are; the system's language when the
  // system has no English texts.
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD languages[] = {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), 0};
  for (DWORD language : languages) {
    char text[1024];
    DWORD length = FormatMessageA(flags, nullptr, code, language, text, sizeof text, nullptr);
    if (length > 0) return std::string(text, length);
  }
  return std::string();
}

}  // namespace orvo
