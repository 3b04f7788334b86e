// Environment, standard channels, clock, locale values and dynamic libraries.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>

#include "host/ThreadDeadline.h"
#include "host/windows/Win32.h"
#include "host/windows/WindowsHost.h"

namespace orvo {

using windows::LastError;

namespace {

void WriteAll(DWORD channel, const void* buffer, size_t count) {
  HANDLE handle = GetStdHandle(channel);
  auto* bytes = static_cast<const char*>(buffer);
  while (count > 0) {
    DWORD written = 0;
    DWORD ask = static_cast<DWORD>(std::min<size_t>(count, 1u << 30));
    // The CGI front does not examine its writes: a reader that went away loses the rest.
    if (!WriteFile(handle, bytes, ask, &written, nullptr) || written == 0) return;
    bytes += written;
    count -= written;
  }
}

// The operator's log on Windows: the Application event log, under the program's own source.
constexpr char kEventSource[] = "OrvoWebServerUploadXML";
// Message 1 of the message files that `New-EventLog` and `eventcreate` register with a source
// is the text itself ("%1").
constexpr DWORD kEventId = 1;

class EventSource {
 public:
  EventSource() : handle_(RegisterEventSourceA(nullptr, kEventSource)) {}
  ~EventSource() {
    if (handle_ != nullptr) DeregisterEventSource(handle_);
  }
  EventSource(const EventSource&) = delete;
  EventSource& operator=(const EventSource&) = delete;

  void ReportError(const std::string& text) {
    if (handle_ == nullptr) return;
    const char* strings[] = {text.c_str()};
    ReportEventA(handle_, EVENTLOG_ERROR_TYPE, 0, kEventId, nullptr, 1, 0, strings, nullptr);
  }

 private:
  HANDLE handle_;
};

class WindowsLibrary : public DynamicLibrary {
 public:
  explicit WindowsLibrary(HMODULE module) : module_(module) {}
  ~WindowsLibrary() override { FreeLibrary(module_); }
  WindowsLibrary(const WindowsLibrary&) = delete;
  WindowsLibrary& operator=(const WindowsLibrary&) = delete;

  void* Symbol(const std::string& name, WinError* error) override {
    FARPROC address = GetProcAddress(module_, name.c_str());
    if (address == nullptr && error != nullptr) *error = LastError();
    return reinterpret_cast<void*>(address);
  }
  std::string Folder() const override {
    std::string file(32768, '\0');  // the longest path the system names
    DWORD length = GetModuleFileNameA(module_, file.data(), static_cast<DWORD>(file.size()));
    if (length == 0 || length >= file.size()) return "";
    file.resize(file.find_last_of("\\/", length) + 1);  // npos + 1: no folder
    return file;
  }

 private:
  HMODULE module_;
};

// The file that a console control event (Ctrl+C, Ctrl+Break, the console closed, log-off,
// shut-down) removes before the process ends. The handler runs on a thread of its own: the full
// path is prepared before it is armed.
char removalPath[MAX_PATH];
volatile LONG removalArmed = 0;

BOOL WINAPI RemoveFileAndEnd(DWORD) {
  if (InterlockedCompareExchange(&removalArmed, 0, 0) != 0) DeleteFileA(removalPath);
  return FALSE;  // the next handler, in the end the system's, ends the process
}

}  // namespace

WinError WindowsHost::RemoveFileOnTermination(const std::string& path) {
  InterlockedExchange(&removalArmed, 0);
  if (path.empty()) return kErrorSuccess;
  GatedPath full;
  std::string system;
  if (WinError error = Pass(path, PathUse::kFile, &full, &system)) return error;
  if (system.size() >= sizeof removalPath) return kErrorFilenameExcedRange;
  static const bool installed = SetConsoleCtrlHandler(RemoveFileAndEnd, TRUE) != FALSE;
  if (!installed) return LastError();
  std::copy(system.c_str(), system.c_str() + system.size() + 1, removalPath);
  InterlockedExchange(&removalArmed, 1);
  return kErrorSuccess;
}

void WindowsHost::EndProcess(int status) {
  if (InterlockedCompareExchange(&removalArmed, 0, 0) != 0) DeleteFileA(removalPath);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  ExitProcess(static_cast<UINT>(status));  // not reached: TerminateProcess does not return
}

// A thread that waits on its condition: the Windows timer of the CGI program, which ends the
// process as the request overstays.
std::unique_ptr<Deadline> WindowsHost::StartDeadline(int seconds, std::function<bool()> expired,
                                                     int status) {
  return StartThreadDeadline(seconds, std::move(expired), [this, status] { EndProcess(status); });
}

WindowsHost::WindowsHost(const WindowsPath& current) : gate_(current) {
  // The bytes of the request and of the answer pass unchanged: no CR LF translation, no end of
  // file at byte 26, also for anything written through the C runtime.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

std::optional<std::string> WindowsHost::GetEnvironment(const std::string& name) {
  std::string value(256, '\0');
  for (;;) {
    SetLastError(kErrorSuccess);
    DWORD length =
        GetEnvironmentVariableA(name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();  // set, and empty
    }
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);  // the size needed, terminating zero included
  }
}

int64_t WindowsHost::ReadStdin(void* buffer, size_t count) {
  DWORD read = 0;
  DWORD ask = static_cast<DWORD>(std::min<size_t>(count, 1u << 30));
  if (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, ask, &read, nullptr)) return read;
  // A pipe whose writer has closed its end is at its end, not broken.
  DWORD error = GetLastError();
  return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? 0 : -1;
}

void WindowsHost::WriteStdout(const void* buffer, size_t count) {
  WriteAll(STD_OUTPUT_HANDLE, buffer, count);
}

void WindowsHost::WriteStderr(const void* buffer, size_t count) {
  WriteAll(STD_ERROR_HANDLE, buffer, count);
}

void WindowsHost::WriteOperatorLog(const std::string& line) { EventSource().ReportError(line); }

LocalTime WindowsHost::LocalNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return LocalTime{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                   now.wMinute, now.wSecond, now.wMilliseconds};
}

FileTime WindowsHost::UtcToLocalFileTime(FileTime utc) {
  FILETIME from = windows::ToFileTime(utc), local;
  if (!FileTimeToLocalFileTime(&from, &local)) return utc;
  return windows::FromFileTime(local);
}

std::optional<std::string> WindowsHost::GetLocaleValue(LocaleItem item) {
  LCTYPE type = LOCALE_SSHORTDATE;
  switch (item) {
    case LocaleItem::kDecimalMark:
      type = LOCALE_SDECIMAL;
      break;
    case LocaleItem::kGroupMark:
      type = LOCALE_STHOUSAND;
      break;
    case LocaleItem::kDateMark:
      type = LOCALE_SDATE;
      break;
    case LocaleItem::kShortDatePattern:
      break;
  }
  char value[256];
  int length = GetLocaleInfoA(GetThreadLocale(), type, value, sizeof value);
  if (length <= 0) return std::nullopt;
  return std::string(value, static_cast<size_t>(length - 1));  // without the terminating zero
}

WinError WindowsHost::OpenLibrary(const std::string& name,
                                  std::unique_ptr<DynamicLibrary>* library) {
  HMODULE module = LoadLibraryA(name.c_str());
  if (module == nullptr) return kErrorModNotFound;
  *library = std::make_unique<WindowsLibrary>(module);
  return kErrorSuccess;
}

}  // namespace orvo
