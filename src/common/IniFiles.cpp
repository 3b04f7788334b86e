#include "common/IniFiles.h"

#include <memory>
#include <string_view>

#include "common/SysUtils.h"
#include "common/SysUtilsFiles.h"
#include "common/SysUtilsText.h"
#include "host/AllowedFolders.h"
#include "host/Host.h"

namespace orvo {
namespace {

std::string_view TrimBlanks(std::string_view s) {
  size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool SameName(std::string_view a, const std::string& b) {
  return CompareTextLocale(std::string(a), b) == 0;
}

// Calls `visit` with each line, without its line break, until it returns true.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    if (visit(text.substr(0, end))) return;
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

std::string Unquoted(std::string_view value) {
  if (value.size() >= 2 && value.front() == value.back() &&
      (value.front() == '"' || value.front() == '\'')) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value.substr(0, kIniValueLimit));
}

// The whole file, or nullopt when it is missing. A file that is there but cannot be opened or
// read fails (EFOpenError, EReadError): reading it as empty would send batches to the wrong
// folder.
std::optional<std::string> ReadWholeFile(const std::string& path) {
  // The program's own file, named by the program, never by a request: read whatever folders
  // the request is confined to.
  ScopedConfinement program(Host::Default(), nullptr);
  std::unique_ptr<FileHandle> file;
  WinError error = Host::Default().OpenFile(path, FileAccess::kRead, FileShare{true, true},
                                            FileDisposition::kOpenExisting, &file);
  if (error == kErrorFileNotFound || error == kErrorPathNotFound) return std::nullopt;
  if (error != kErrorSuccess) throw EFOpenError(FileStreamMessage("open", path, error));
  std::string bytes;
  char buffer[2048];  // small: a deep buffer on the stack costs its pages' faults
  for (;;) {
    size_t done = 0;
    error = file->Read(buffer, sizeof buffer, &done);
    if (error != kErrorSuccess) throw EReadError(FileStreamMessage("read", path, error));
    if (done == 0) return bytes;
    bytes.append(buffer, done);
  }
}

TRequestConfiguration* current = nullptr;

// A full path names the same file all through a request; a relative one follows the current
// folder, which a request may change.
bool IsFullPath(const std::string& name) {
  return name.size() >= 3 && name[1] == ':' && (name[2] == '\\' || name[2] == '/');
}

}  // namespace

TRequestConfiguration::TRequestConfiguration() : outer_(current) { current = this; }

TRequestConfiguration::~TRequestConfiguration() { current = outer_; }

std::optional<std::string> TRequestConfiguration::FileBytes(const std::string& fileName) {
  if (current == nullptr || !IsFullPath(fileName)) return ReadWholeFile(fileName);
  auto kept = current->files_.find(fileName);
  if (kept == current->files_.end()) {
    kept = current->files_.emplace(fileName, ReadWholeFile(fileName)).first;
  }
  return kept->second;
}

std::optional<std::string> FindIniValue(const std::string& bytes, const std::string& section,
                                        const std::string& ident) {
  std::string_view text = bytes;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // editors' UTF-8 mark

  enum { kBefore, kInside, kAfter } state = kBefore;  // relative to the first wanted section
  std::optional<std::string> value;
  ForEachLine(text, [&](std::string_view raw) {
    std::string_view line = TrimBlanks(raw);
    if (line.empty() || line.front() == ';') return false;
    if (line.front() == '[') {
      if (state == kInside) state = kAfter;
      std::string_view name = line.substr(1, line.find(']') - 1);
      if (state == kBefore && SameName(TrimBlanks(name), section)) state = kInside;
      return state == kAfter;
    }
    size_t equals = line.find('=');
    if (state != kInside || equals == std::string_view::npos) return false;
    if (!SameName(TrimBlanks(line.substr(0, equals)), ident)) return false;
    value = Unquoted(TrimBlanks(line.substr(equals + 1)));
    return true;
  });
  return value;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& ident,
                                 const std::string& fallback) {
  const std::optional<std::string> bytes = TRequestConfiguration::FileBytes(FileName());
  if (!bytes) return fallback;
  return FindIniValue(*bytes, section, ident).value_or(fallback);
}

}  // namespace orvo
