// File-system primitives over the host: presence tests, folder creation, directory searches,
// renames, file name parts and the working directory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/Host.h"

namespace orvo {

inline constexpr uint8_t attrReadOnly = 0x01;
inline constexpr uint8_t attrHidden = 0x02;
inline constexpr uint8_t attrSystem = 0x04;
inline constexpr uint8_t attrVolume = 0x08;
inline constexpr uint8_t attrDirectory = 0x10;
inline constexpr uint8_t attrArchive = 0x20;

// The state of one directory search. Destroying it closes the search.
struct TSearchRec {
  std::string EntryName;
  int32_t SkipAttrs = 0;
  std::unique_ptr<DirSearch> Search;  // null when no search is open
  FindData Data;

  // The entry's attribute word, read on first use where the host reads it lazily.
  int32_t AttrBits() const { return static_cast<int32_t>(Data.Attributes()); }
};

// True when the first entry matching the pattern `name` is a file whose local last-write time
// fits a FAT stamp (1980 to 2107).
bool FileIsPresent(const std::string& name);
// The packed local date and time of the first entry that `name` matches, or -1 when nothing
// matches, the first match is a folder, or its time has no packed form (before 1980, after 2107).
int32_t FileStamp(const std::string& name);
// As FileStamp, of an entry a search found.
int32_t FileStampOf(const FindData& entry);
bool DirIsPresent(const std::string& name);
// Creates a folder and every missing one above it, as its path resolves ("a\.\b\.." is "a").
// EInOutError "Unable to create directory" for the empty path; false when a folder cannot be
// created (and nothing is created when the host refuses the innermost path itself).
bool CreateDirPath(const std::string& dir);

// Starts a search that passes over entries carrying any of the bits 2, 4, 8, 16 missing from
// `filter`. Returns 0 or the host's code (the search is then closed).
int32_t SearchFirst(const std::string& pattern, uint8_t filter, TSearchRec& rec);
// As SearchFirst, for a caller that wants the folders only: entries that are not folders may be
// left out (or not: the filter still applies to every entry).
int32_t SearchFirstFolder(const std::string& pattern, uint8_t filter, TSearchRec& rec);
int32_t SearchNext(TSearchRec& rec);
void SearchClose(TSearchRec& rec);

// Renames or moves an entry; false, changing nothing, when the new name exists.
bool RenameEntry(const std::string& oldName, const std::string& newName);

std::string ReplaceFileExt(const std::string& name, const std::string& ext);
// Up to and including the last '\', '/' or ':'.
std::string ExtractFilePath(const std::string& name);
// After the last '\', '/' or ':'.
std::string ExtractFileLeaf(const std::string& name);

// The message of an EInOutError for a host code ("File not found", ..., "I/O error <code>").
std::string InOutMessage(WinError code);

std::string GetWorkDir();
// EInOutError with the message of the host's code when the host refuses.
void SetWorkDir(const std::string& dir);

// "Cannot <verb> file "<full path>". <host text>": the message of a failed create or open, the
// host's text without its trailing blanks and dots.
std::string FileStreamMessage(const std::string& verb, const std::string& fileName, WinError error);

}  // namespace orvo
