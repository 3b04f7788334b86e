// The host: every call the program makes into the operating system goes through this interface.
//
// Paths are Windows paths in code page 1252 ("D:\Movel\Lotes", relative ones against the
// program's own current directory). Every file-system call passes its paths through the path
// gate (PathGate.h) before anything reaches the system, so every host refuses the same paths with
// the same codes: a NUL byte, a stray ':', a namespace prefix, a device name or a file path
// ending in a separator (kErrorInvalidName), a UNC path without a server or share
// (kErrorBadNetPath), a path too long
// (kErrorFilenameExcedRange). Searches match names with the program's own matcher
// (WindowsNames.h) and leave out names the program could not name again. Failures come back as
// Windows error codes (0 is success), from which the program builds its messages. One
// implementation per operating system, each in its own folder, which also defines Host::Default();
// the program uses the process-wide default, and tests may install their own (usually a HostWrapper
// that overrides a call or two).
//
// The program is single-threaded: no host, search or file is used from two threads at once,
// and none of them locks. The one exception is a deadline's callback (StartDeadline), which
// runs beside the program's thread once the program has overstayed (a prepared deadline may run
// in a signal handler instead: StartPreparedDeadline). An out-parameter is written
// only on success unless a method says otherwise.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace orvo {

class AllowedFolders;

// Windows error codes the host reports.
using WinError = uint32_t;
inline constexpr WinError kErrorSuccess = 0;
inline constexpr WinError kErrorInvalidFunction = 1;
inline constexpr WinError kErrorFileNotFound = 2;
inline constexpr WinError kErrorPathNotFound = 3;
inline constexpr WinError kErrorTooManyOpenFiles = 4;
inline constexpr WinError kErrorAccessDenied = 5;
inline constexpr WinError kErrorInvalidHandle = 6;
inline constexpr WinError kErrorNotEnoughMemory = 8;
inline constexpr WinError kErrorNotSameDevice = 17;
inline constexpr WinError kErrorNoMoreFiles = 18;
inline constexpr WinError kErrorWriteProtect = 19;
inline constexpr WinError kErrorWriteFault = 29;
inline constexpr WinError kErrorReadFault = 30;
inline constexpr WinError kErrorGenFailure = 31;
inline constexpr WinError kErrorSharingViolation = 32;
inline constexpr WinError kErrorLockViolation = 33;
inline constexpr WinError kErrorHandleDiskFull = 39;
inline constexpr WinError kErrorBadNetPath = 53;
inline constexpr WinError kErrorFileExists = 80;
inline constexpr WinError kErrorInvalidParameter = 87;
inline constexpr WinError kErrorDiskFull = 112;
inline constexpr WinError kErrorInvalidName = 123;
inline constexpr WinError kErrorModNotFound = 126;
inline constexpr WinError kErrorProcNotFound = 127;
inline constexpr WinError kErrorNegativeSeek = 131;
inline constexpr WinError kErrorDirNotEmpty = 145;
inline constexpr WinError kErrorAlreadyExists = 183;
inline constexpr WinError kErrorFilenameExcedRange = 206;
inline constexpr WinError kErrorDirectory = 267;
inline constexpr WinError kErrorIoDevice = 1117;

// What a host call does with a path; the limits and refusals follow Windows' calls.
enum class PathUse {
  kLookup,         // attributes, removal of a folder, a search's folder
  kPattern,        // a search: the last component may hold the wildcards '*' and '?'
  kFile,           // a file to open, create or remove: no final separator
  kNewFolder,      // a folder to create: room is left for an 8.3 name below it
  kCurrentFolder,  // the new current folder, kept with a final separator
  kMoved,          // either name of a move: no final separator; the given text may be long
};

// Attribute word bits of a directory entry.
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrHidden = 0x02;
inline constexpr uint32_t kAttrSystem = 0x04;
inline constexpr uint32_t kAttrVolume = 0x08;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;
inline constexpr uint32_t kAttrNormal = 0x80;
inline constexpr uint32_t kAttrReparsePoint = 0x400;  // a link or junction

// A file time: 100-nanosecond ticks since 1601-01-01, as Windows counts them.
using FileTime = int64_t;

// One entry of a directory search. A host may leave an entry's details to be read when they are
// first asked for, so that a search costs a read of the folder and no look at each entry; they
// are then those of that moment, as a search answers on Windows.
class FindData {
 public:
  struct Details {
    uint32_t attributes = 0;     // never 0: a plain folder is exactly 16, a plain file 32
    FileTime lastWriteTime = 0;  // UTC
    int64_t size = 0;
  };
  // Reads the details of an entry.
  using DetailsReader = std::function<Details()>;

  FindData() = default;
  FindData(std::string entryName, const Details& details)
      : name(std::move(entryName)), known_(details.attributes), details_(details) {}
  // Details read on first use. `attributes` holds at least the bits that searches filter on
  // (hidden, system, volume, directory); when `whole`, it is the whole word.
  FindData(std::string entryName, uint32_t attributes, bool whole, DetailsReader read)
      : name(std::move(entryName)), known_(attributes), wholeWord_(whole), read_(std::move(read)) {
    details_.attributes = attributes;
  }

  std::string name;  // code page 1252, without folder

  uint32_t Attributes() const { return wholeWord_ ? known_ : Read().attributes; }
  // The hidden, system, volume and directory bits, known without reading the entry.
  uint32_t FilterBits() const { return known_ & kFilterBits; }
  FileTime LastWriteTime() const { return Read().lastWriteTime; }
  int64_t Size() const { return Read().size; }

 private:
  static constexpr uint32_t kFilterBits = kAttrHidden | kAttrSystem | kAttrVolume | kAttrDirectory;

  const Details& Read() const {
    if (read_) {
      details_ = read_();
      read_ = nullptr;
    }
    return details_;
  }

  uint32_t known_ = 0;
  bool wholeWord_ = true;
  mutable DetailsReader read_;  // empty once read
  mutable Details details_;
};

// An open directory search. Destroying it closes the search.
class DirSearch {
 public:
  virtual ~DirSearch() = default;
  // Fills `entry` with the next matching entry; kErrorNoMoreFiles after the last one, with
  // `entry` left as it was.
  virtual WinError Next(FindData* entry) = 0;
};

enum class SeekOrigin { kBegin = 0, kCurrent = 1, kEnd = 2 };

// An open file. Destroying it closes the file and releases its sharing claim.
class FileHandle {
 public:
  virtual ~FileHandle() = default;
  // Reads up to `count` bytes; `*done` is the number read, 0 at the end of the file. On
  // failure `*done` is 0 and the file position is unspecified.
  virtual WinError Read(void* buffer, size_t count, size_t* done) = 0;
  // Writes `count` bytes; `*done` is the number written, which on failure may be fewer (bytes
  // before it are in the file).
  virtual WinError Write(const void* buffer, size_t count, size_t* done) = 0;
  // Moves the file position and stores the new one in `*position`; on failure (a negative
  // position: kErrorNegativeSeek) the position stays and `*position` is untouched.
  virtual WinError Seek(int64_t offset, SeekOrigin origin, int64_t* position) = 0;
  // Forces written bytes to the storage device.
  virtual WinError Flush() = 0;
  // Ends the file at the current position, growing or shrinking it (SetEndOfFile).
  // kErrorInvalidFunction where a file kind cannot change its length.
  virtual WinError SetEndOfFile() { return kErrorInvalidFunction; }
};

enum class FileAccess {
  kRead,
  kWrite,
  kReadWrite,
  // Writes only, each at the end of the file as it is then, in one system call (O_APPEND,
  // FILE_APPEND_DATA): the appends of several processes never mix.
  kAppend,
};
inline bool ReadsFile(FileAccess access) {
  return access == FileAccess::kRead || access == FileAccess::kReadWrite;
}
inline bool WritesFile(FileAccess access) { return access != FileAccess::kRead; }

// What other opens of the same file may do while this one is open (the Windows share flags).
struct FileShare {
  bool read = false;
  bool write = false;
};

enum class FileDisposition {
  kCreateAlways,  // create, or truncate an existing file
  kCreateNew,     // create; kErrorFileExists when it exists
  kOpenExisting,  // kErrorFileNotFound when it is missing
  kOpenAlways,    // open, or create when missing
};

// A loaded dynamic library. Destroying it unloads the library.
class DynamicLibrary {
 public:
  virtual ~DynamicLibrary() = default;
  // The address of an exported symbol, or nullptr with `*error` set (kErrorProcNotFound) when
  // `error` is not null.
  virtual void* Symbol(const std::string& name, WinError* error) = 0;
  // The folder of the file it was loaded from, with its final separator ("/usr/lib/", "C:\\IB\\"),
  // or "" when the system does not say.
  virtual std::string Folder() const = 0;
};

// A running deadline (Host::StartDeadline); destroying it calls it off.
class Deadline {
 public:
  virtual ~Deadline() = default;
  // Counts its time again from now.
  virtual void Restart() = 0;
};

// Folders held for a series of calls (Host::HoldFolders); destroying it lets them go.
class FolderHold {
 public:
  virtual ~FolderHold() = default;
};

// The local clock, broken down.
struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

// "YYYY-MM-DD HH:MM:SS" of `time` into the 19 bytes at `out`; safe in a signal handler.
void WriteTimeText(const LocalTime& time, char* out);
// The broken-down form of a count of seconds since 1970-01-01 00:00:00 (the local clock's count:
// UTC plus the zone's offset); safe in a signal handler.
LocalTime LocalTimeOf(int64_t seconds);

// What a deadline does when it passes, prepared when it is armed: unless `*owner` has left 0 (the
// program's answer has begun), it becomes `claim`, the operator's log gets `line` with its first
// 19 bytes (a time, as WriteTimeText writes it) made the time of the expiry, standard output gets
// `answer`, and the process ends with `status`. Nothing is then allocated, locked or opened.
struct PreparedExpiry {
  std::atomic<int>* owner = nullptr;
  int claim = 0;
  std::string line;
  std::string answer;
  int status = 0;
};

// The locale values the program asks for.
enum class LocaleItem { kDecimalMark, kGroupMark, kDateMark, kShortDatePattern };

// A value of the per-user settings store (the registry on Windows).
enum class RegistryType { kString, kExpandString, kInteger, kBinary };
struct RegistryValue {
  RegistryType type = RegistryType::kString;
  std::string data;  // the text of a string, the bytes of anything else
};

class Host {
 public:
  virtual ~Host() = default;

  // The process-wide host: the one installed by SetDefault, else the one of this platform
  // (created on first use; defined in the platform's own file).
  static Host& Default();
  // Installs `host` as the default (nullptr restores the platform's); the caller keeps it alive.
  static void SetDefault(Host* host);

  // ---- File system ----

  // The attribute word of `path`; kErrorFileNotFound / kErrorPathNotFound when it is missing,
  // kErrorInvalidName when it ends in a separator but names a file.
  virtual WinError GetAttributes(const std::string& path, uint32_t* attributes) = 0;
  // Starts a search on a pattern ("C:\x\*.dwl": Windows wildcards, letter case ignored) and
  // yields its first entry. "." and ".." come first except at a drive root, then NTFS order.
  // kErrorFileNotFound when nothing matches, kErrorPathNotFound when the folder is missing; on
  // failure `*search` is empty.
  virtual WinError FindFirst(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                             FindData* first) = 0;
  // As FindFirst, for a caller that wants the folders only: the search may leave out entries
  // that are not folders, and need not (on Windows FindExSearchLimitToDirectories is a hint), so
  // the caller still looks at each entry's attributes.
  virtual WinError FindFirstFolder(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                                   FindData* first) {
    return FindFirst(pattern, search, first);
  }
  // Creates one folder; kErrorAlreadyExists when it exists, kErrorPathNotFound without parent.
  virtual WinError CreateFolder(const std::string& path) = 0;
  // As CreateFolder, for a folder of a name beginning with '.' that listings must pass over:
  // where such a name does not make it hidden (Windows), it is given the hidden attribute.
  virtual WinError CreateHiddenFolder(const std::string& path) { return CreateFolder(path); }
  // Removes one empty folder.
  virtual WinError RemoveFolder(const std::string& path) = 0;
  // Removes one file.
  virtual WinError RemoveFile(const std::string& path) = 0;
  // Renames or moves a file or folder. Without `replace` an existing target fails with
  // kErrorAlreadyExists and nothing changes; with it an existing file target is replaced
  // atomically.
  virtual WinError MovePath(const std::string& from, const std::string& to, bool replace) = 0;
  // Opens or creates a file. A conflict with the sharing of another open of the same file,
  // in this or another process of the program, fails at once with kErrorSharingViolation.
  // On failure `*file` is empty.
  virtual WinError OpenFile(const std::string& path, FileAccess access, FileShare share,
                            FileDisposition disposition, std::unique_ptr<FileHandle>* file) = 0;
  // Whether a call of the kind `use` would take `path`: the path gate's answer (PathGate.h),
  // with nothing asked of the system. Lets a caller refuse a request before it changes anything.
  virtual WinError CheckPath(const std::string& path, PathUse use) = 0;
  // The full path of `path`, made absolute against the current directory, whatever its length
  // and names (for messages; kErrorInvalidName for an empty path and kErrorBadNetPath for a
  // namespace path or a UNC path without a server or share, with `*full` untouched).
  virtual WinError FullPathName(const std::string& path, std::string* full) = 0;
  // The program's current directory, without a trailing backslash except at a drive root.
  virtual std::string GetCurrentFolder() = 0;
  // Changes the current directory; on failure it stays as it was.
  virtual WinError SetCurrentFolder(const std::string& path) = 0;
  // The English system text of an error code, as FormatMessage gives it (ending in ".\r\n").
  virtual std::string ErrorText(WinError code) = 0;
  // Confines every later path of the calls above to `allowed` (AllowedFolders.h: outside is
  // kErrorAccessDenied, and no link leads out of a listed folder); nullptr lifts it. Returns the
  // confinement it replaces. Messages' full path names are not confined: they reach nothing.
  virtual std::shared_ptr<const AllowedFolders> Confine(
      std::shared_ptr<const AllowedFolders> allowed) = 0;
  // Until the result is destroyed, a folder that a call has reached answers for its path in the
  // later calls without being looked at again: a walk's steps stop proving every folder above
  // them, and others' changes to a folder reached may go unseen until then. What calls reach
  // stays confined as ever. Holds may nest. nullptr where a host keeps nothing to hold.
  virtual std::unique_ptr<FolderHold> HoldFolders() { return nullptr; }

  // ---- Clock and locale ----

  // The local date and time, to the millisecond.
  virtual LocalTime LocalNow() = 0;
  // Converts a UTC file time to local time with the offset in force now, daylight saving
  // included (FileTimeToLocalFileTime).
  virtual FileTime UtcToLocalFileTime(FileTime utc) = 0;
  // A value of the process's locale; nullopt when the host has none (the caller's defaults apply).
  virtual std::optional<std::string> GetLocaleValue(LocaleItem item) = 0;

  // ---- Process ----

  // An environment variable; nullopt when it is not set.
  virtual std::optional<std::string> GetEnvironment(const std::string& name) = 0;
  // Reads up to `count` bytes of standard input, raw. Returns the number read, 0 at the end,
  // -1 when the read fails.
  virtual int64_t ReadStdin(void* buffer, size_t count) = 0;
  // Hands over the rest of standard input at once, when the host already holds it in memory (a
  // FastCGI request's body), so that it is not copied again; false, and nothing taken, when it
  // must be read.
  virtual bool TakeStdin(std::string* bytes) {
    (void)bytes;
    return false;
  }
  // Writes all bytes to standard output, raw and unbuffered. Failures are not reported: a reader
  // that went away loses the rest, and the program goes on.
  virtual void WriteStdout(const void* buffer, size_t count) = 0;
  // Writes all bytes to standard error.
  virtual void WriteStderr(const void* buffer, size_t count) = 0;
  // Writes one line of the operator's log (`line` has no line end) where the operators of this
  // platform read it: standard error on Linux, which the web server keeps in its error log; the
  // Application event log on Windows (source OrvoWebServerUploadXML), since IIS sends a CGI
  // program's standard error to the client with the answer. Failures are not reported.
  virtual void WriteOperatorLog(const std::string& line) = 0;
  // Makes a request to end the process (SIGTERM, SIGINT or SIGHUP; on Windows a console control
  // event) remove the file `path` before the process ends as it would have; the empty path
  // withdraws it. One file at a time: a new path replaces the previous one. The path is
  // resolved now, as the removal must be done with nothing left that can fail; on failure
  // nothing is armed. Lets a save that is cut short take its temporary file with it.
  virtual WinError RemoveFileOnTermination(const std::string& path) = 0;
  // Ends the process at once with `status` (never returns), from any thread or a signal handler:
  // the file armed
  // by RemoveFileOnTermination is removed and nothing else runs (no destructors, no exit
  // handlers, no buffers flushed).
  virtual void EndProcess(int status) = 0;
  // Once `seconds` have passed, calls `expired` on a thread of its own and, when it returns true,
  // EndProcess(status). Destroying the result first calls it off (waiting for a callback already
  // running). `expired` runs beside the program's thread. nullptr when no thread can start.
  virtual std::unique_ptr<Deadline> StartDeadline(int seconds, std::function<bool()> expired,
                                                  int status) = 0;
  // A deadline that does `expiry` once `seconds` have passed, called off (on the thread that
  // armed it) by destroying the result. By default a StartDeadline whose callback does it through
  // this host's calls; a host may instead do it where no thread is needed (POSIX: a timer's
  // signal, handled on the thread that armed it). nullptr when it cannot be armed.
  virtual std::unique_ptr<Deadline> StartPreparedDeadline(int seconds, PreparedExpiry expiry);
  // Does `expiry` through this host's calls but for ending the process; false when the program's
  // answer had begun.
  bool Expire(const PreparedExpiry& expiry);

  // ---- Dynamic libraries ----

  // Loads a library by name ("libfbclient.so.2": the system's search; with a separator: that
  // file). kErrorModNotFound when it cannot be loaded.
  virtual WinError OpenLibrary(const std::string& name,
                               std::unique_ptr<DynamicLibrary>* library) = 0;

  // ---- Per-user settings store ----

  // Opens `key` ("Orvo\Config\General") under the current user, creating it when `create`.
  // kErrorFileNotFound when it is missing and not created.
  virtual WinError OpenUserKey(const std::string& key, bool create) = 0;
  // Reads a value of an existing key; kErrorFileNotFound when the key or value is missing, with
  // `*value` untouched.
  virtual WinError ReadUserValue(const std::string& key, const std::string& name,
                                 RegistryValue* value) = 0;
  // Writes a value, creating the key when needed.
  virtual WinError WriteUserValue(const std::string& key, const std::string& name,
                                  const RegistryValue& value) = 0;

 private:
  static Host* installed_;
};

}  // namespace orvo
