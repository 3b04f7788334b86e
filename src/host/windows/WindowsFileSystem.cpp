// Folders, directory searches, renames, the current directory and the error texts.
#include <memory>
#include <optional>
#include <utility>

#include "host/windows/Win32.h"
#include "host/windows/WindowsHost.h"

namespace orvo {

using windows::Check;
using windows::LastError;

namespace {

FindData MakeFindData(const WIN32_FIND_DATAA& data) {
  FindData entry;
  entry.name = data.cFileName;
  entry.attributes = data.dwFileAttributes;
  entry.lastWriteTime = windows::FromFileTime(data.ftLastWriteTime);
  entry.size =
      static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  return entry;
}

// False for a name no Windows folder could hold (a control byte or one of \ / : * ? " < > |),
// which a file system shared with another system (Wine's Unix folders, a network share) can
// still show. Searches leave such names out: they could never be opened, and a line feed in a
// name would add a line to a listing.
bool WindowsCanHold(const char* name) {
  for (const char* c = name; *c != '\0'; ++c) {
    if (static_cast<unsigned char>(*c) < 32) return false;
    switch (*c) {
      case '\\':
      case '/':
      case ':':
      case '*':
      case '?':
      case '"':
      case '<':
      case '>':
      case '|':
        return false;
      default:
        break;
    }
  }
  return true;
}

class WindowsDirSearch : public DirSearch {
 public:
  explicit WindowsDirSearch(HANDLE handle) : handle_(handle) {}
  ~WindowsDirSearch() override { FindClose(handle_); }
  WindowsDirSearch(const WindowsDirSearch&) = delete;
  WindowsDirSearch& operator=(const WindowsDirSearch&) = delete;

  WinError Next(FindData* entry) override {
    WIN32_FIND_DATAA data;
    do {
      if (!FindNextFileA(handle_, &data)) return LastError();
    } while (!WindowsCanHold(data.cFileName));
    *entry = MakeFindData(data);
    return kErrorSuccess;
  }

 private:
  HANDLE handle_;
};

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

}  // namespace

WinError WindowsHost::GetAttributes(const std::string& path, uint32_t* attributes) {
  DWORD word = GetFileAttributesA(path.c_str());
  if (word == INVALID_FILE_ATTRIBUTES) return LastError();
  *attributes = word;
  return kErrorSuccess;
}

WinError WindowsHost::FindFirst(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                                FindData* first) {
  WIN32_FIND_DATAA data;
  HANDLE handle = FindFirstFileA(pattern.c_str(), &data);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  auto found = std::make_unique<WindowsDirSearch>(handle);
  if (!WindowsCanHold(data.cFileName)) {
    const WinError next = found->Next(first);
    if (next != kErrorSuccess) return next == ERROR_NO_MORE_FILES ? kErrorFileNotFound : next;
  } else {
    *first = MakeFindData(data);
  }
  *search = std::move(found);
  return kErrorSuccess;
}

WinError WindowsHost::CreateFolder(const std::string& path) {
  // Windows leaves room for an 8.3 name below a new folder: a full path of 248 characters or
  // more is refused. Wine takes up to MAX_PATH; the program sees Windows' limit on both.
  constexpr DWORD kNewFolderLimit = 248;
  char full[MAX_PATH + 1];
  if (GetFullPathNameA(path.c_str(), sizeof full, full, nullptr) >= kNewFolderLimit) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  return Check(CreateDirectoryA(path.c_str(), nullptr));
}

WinError WindowsHost::CreateHiddenFolder(const std::string& path) {
  if (WinError error = CreateFolder(path)) return error;
  // The walk of a listing enters only folders without further attributes.
  if (WinError error = Check(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN))) {
    RemoveDirectoryA(path.c_str());
    return error;
  }
  return kErrorSuccess;
}

WinError WindowsHost::RemoveFolder(const std::string& path) {
  return Check(RemoveDirectoryA(path.c_str()));
}

WinError WindowsHost::RemoveFile(const std::string& path) {
  return Check(DeleteFileA(path.c_str()));
}

WinError WindowsHost::MovePath(const std::string& from, const std::string& to, bool replace) {
  if (!replace) return Check(MoveFileA(from.c_str(), to.c_str()));
  // A read-only file is not replaced (Wine would replace it).
  DWORD target = GetFileAttributesA(to.c_str());
  if (target != INVALID_FILE_ATTRIBUTES && (target & FILE_ATTRIBUTE_READONLY) != 0) {
    return kErrorAccessDenied;
  }
  // Written through before the call returns: a save that reports success is on the disk.
  WinError error = Check(
      MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  if (error != kErrorAccessDenied) return error;
  // The system refuses to replace a file that another open holds with "access denied"; say
  // what the open of the file itself would say, as the Linux host does.
  HANDLE held = CreateFileA(to.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held != INVALID_HANDLE_VALUE) {
    CloseHandle(held);
    return error;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION ? kErrorSharingViolation : error;
}

WinError WindowsHost::FullPathName(const std::string& path, std::string* full) {
  if (path.empty()) return kErrorInvalidName;
  std::optional<std::string> text = FillText([&](DWORD size, char* buffer) {
    return GetFullPathNameA(path.c_str(), size, buffer, nullptr);
  });
  if (!text) return LastError();
  *full = std::move(*text);
  return kErrorSuccess;
}

std::string WindowsHost::GetCurrentFolder() {
  std::optional<std::string> text =
      FillText([](DWORD size, char* buffer) { return GetCurrentDirectoryA(size, buffer); });
  return text.value_or(std::string());
}

WinError WindowsHost::SetCurrentFolder(const std::string& path) {
  return Check(SetCurrentDirectoryA(path.c_str()));
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
