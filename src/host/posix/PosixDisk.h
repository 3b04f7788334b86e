// The drive folders on disk: confined lookup of Windows paths through descriptors, errno
// translation, and the sharing claims that emulate Windows share modes among the program's
// processes.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/Host.h"
#include "host/PathGate.h"
#include "host/posix/PosixBeneath.h"

namespace orvo::posix {

// A folder reached below the root.
struct DiskFolder {
  Fd fd;                 // O_PATH
  std::string relative;  // its path below the root as reached, links kept ("d/Movel/Lotes")
  // Inside an allowed folder (AllowedFolders.h): that folder, below which links are followed
  // only while they stay in it, and this folder's path below it ("" for the allowed folder).
  std::shared_ptr<const DiskRoot> allowed;
  std::string belowAllowed;
};
using FolderRef = std::shared_ptr<const DiskFolder>;

// An entry looked up in a folder.
struct DiskEntry {
  FolderRef folder;       // where it is, or would be created
  std::string diskName;   // its name in the folder, UTF-8
  struct stat info {};    // of the entry, a link followed; valid when `exists`
  bool exists = false;    // false also for a link that leads outside the root (or the allowed
                          // folder) or nowhere
  bool isLink = false;    // the name is a symbolic link
  bool leadsOut = false;  // a link out of the allowed folder
  bool denied = false;    // its folder may not be searched: whether it exists is not known

  // What a call that needs the entry answers when it does not exist.
  WinError Missing() const { return leadsOut || denied ? kErrorAccessDenied : kErrorFileNotFound; }
};

// One name of a folder as searches see it.
struct ListedName {
  std::string diskName;  // UTF-8
  std::string name;      // code page 1252
  std::string sortKey;   // NtfsSortKey of the 1252 name
  unsigned char type;    // as the folder read gives it (DT_DIR, DT_REG, DT_LNK, DT_UNKNOWN, ...)
};
// A folder's names that the program could name again, in NTFS order.
using Listing = std::vector<ListedName>;

// The drive folders under one root. Every lookup starts from a descriptor of the root or of a
// folder reached from it, and follows a symbolic link only while it stays inside, so nothing
// outside is reached even while other processes swap folders and links.
//
// The folders of the path resolved last are kept open, with the names of those that were read:
// a walk then enters each child, comes back and searches a folder again without resolving
// anything twice, and a resident worker's next request starts from them. Whatever the host
// changes forgets them (Forget); a kept folder is used again only while its change time proves
// that nobody renamed, removed or changed it since (see Settled in the source), else it is
// entered or read again; while held (Hold), one proven or entered since the hold began is
// taken as it is, and so is its listing once read or proven (its descriptor was reached confined,
// and stays with the folder whatever its path comes to name). A name that a folder lacks is looked
// for by trying its case forms by name where they are few against a large folder, else by one read
// of the folder's names; the sorted listing is read for searches only.
class Drives {
 public:
  explicit Drives(const std::string& root) : root_(root) {}

  // The folder holding the first `count` components of `path`: each must exist as a folder
  // (kErrorPathNotFound). Below the path's allowed folder, when it has one, every step stays in
  // that folder.
  WinError Folder(const GatedPath& path, size_t count, FolderRef* folder);
  // The entry named by the last component of a non-root path; its folder must exist.
  WinError Find(const GatedPath& path, DiskEntry* entry);
  // Looks a 1252 name up in a folder: the exact name first, else one equal ignoring case.
  DiskEntry Lookup(const FolderRef& folder, const std::string& name);
  // Describes `diskName` of a folder; false when the folder holds no such name, or may not be
  // searched (then `entry->denied`).
  bool Describe(const FolderRef& folder, const std::string& diskName, DiskEntry* entry) const;
  // Opens an existing entry with `flags`, its link followed while it stays inside: a descriptor,
  // or -1 with errno set. What it opened may differ from what was described: check it.
  int Open(const DiskEntry& entry, int flags) const;
  // The names of a folder; kErrorAccessDenied (or another code) when it cannot be read.
  WinError List(const FolderRef& folder, std::shared_ptr<const Listing>* names);
  // Forgets the folders kept open: after the host changed something.
  void Forget() { chain_.clear(); }
  // While held (Host::HoldFolders), a kept folder proven or entered once is not proven again.
  void Hold() { ++holds_; }
  void Release();
  // The Windows path of a host path inside a drive folder; nullopt outside them.
  std::optional<WindowsPath> ToWindows(const std::string& hostPath) const;

 private:
  struct Level {
    std::string name;  // the path's component, 1252; the drive folder's name for the first
    FolderRef folder;
    // Reached through a link (or while its name changed): checked by opening its path again,
    // not by its own change time.
    bool throughLink = false;
    struct stat entered {};                  // the folder when it was entered
    bool settled = false;                    // a change since `entered` would show (Settled)
    bool held = false;                       // proven or entered while held: taken as it is
    std::shared_ptr<const Listing> listing;  // once read
    // The folder's times when it was read, and whether a change since would show in them.
    timespec modified{};
    timespec changed{};
    bool listingSettled = false;
    bool listingHeld = false;  // read or proven while held: taken as it is
  };

  // The kept level of `folder`; nullptr when it is not one of them.
  Level* Kept(const FolderRef& folder);
  // Opens the child folder `name` (1252) of `parent` as a new level, the allowed folder itself
  // when `allowedRoot`; ENOENT, ENOTDIR or another errno on failure.
  int Enter(const Level& parent, const std::string& name, bool allowedRoot, Level* child);
  // Opens the folder of the root of `path` as the first level: its drive's folder, or the
  // share's folder unc/server/share.
  int EnterRoot(const WindowsPath& path, bool allowedRoot, Level* level);
  // Opens `diskName` of `folder` with `flags`, a link followed while it stays inside the
  // folder's allowed folder, or the root when it has none.
  int OpenIn(const DiskFolder& folder, const std::string& diskName, int flags) const;
  // Makes `folder`, named `diskName` in the folder `parent`, the folder of `level`.
  void Keep(int parent, const std::string& diskName, bool throughLink, DiskFolder folder,
            Level* level);
  // True when a kept level is still the folder its path names: its settled change time stands
  // (a rename, a removal or a new entry changes it), or its path opens it again.
  bool StillThere(const Level& level) const;

  // Names that one folder was found to lack in every letter case, while its change time proves
  // it unchanged (Settled): a resident worker asked again for a batch that is not there answers
  // without looking again.
  struct Lacking {
    dev_t device = 0;
    ino_t inode = 0;
    timespec changed{};
    std::set<std::string> keys;  // upper-case 1252 names

    bool Knows(const DiskFolder& folder, const std::string& name) const;
    // Notes `name` as lacking in the folder described by `info`, whose change time is settled.
    void Note(const struct stat& info, const std::string& name);
  };

  DiskRoot root_;
  Lacking lacking_;
  std::string rootKey_;                 // the root of `chain_` (RootKey in the source)
  std::vector<Level> chain_;            // the root's folder, then one level per component
  std::optional<size_t> allowedDepth_;  // the level of `chain_`'s allowed folder
  int holds_ = 0;                       // Hold calls not yet released
};

// The attribute word of an entry with 1252 name `name`; `isLink` for a symbolic link, whose
// `info` is of its target.
uint32_t AttributesOf(const std::string& name, const struct stat& info, bool isLink);
// The Windows file time of a modification time.
FileTime FileTimeOf(const struct stat& info);

// True for the file systems (by their statfs magic number) whose change times this kernel stamps
// itself, from its own clock, for every change made on this machine: the local ones. What a
// folder's change time proves is trusted only there, so a resident worker keeps names and
// listings only there: on a network or FUSE file system another machine's writes leave the time
// to a server's clock, or leave it alone.
bool StampsItsOwnChanges(unsigned long magic);
// As StampsItsOwnChanges, for the file system of `fd` on `device`: asked of the system once per
// device (a "yes" for an anonymous device, which another mount may reuse, every time).
bool StampsItsOwnChanges(int fd, dev_t device);

// The Windows code of a failed system call.
WinError FromErrno(int error);

// The fsync system call, through which files and folders are flushed. Tests replace it to see
// what is flushed and to make a flush fail.
extern int (*Fsync)(int fd);

// Places the sharing claim of an open on `fd` (opened for reading) after checking, under an
// exclusive guard, that no other open of the file conflicts: kErrorSharingViolation if one does.
WinError ClaimSharing(int fd, FileAccess access, FileShare share);
// True when some open of the program holds the file open as `fd` (opened for reading).
bool FileInUse(int fd);

}  // namespace orvo::posix
