// Placeholder until the drive-folder file system lands: every call fails with access denied.
#include "host/posix/PosixHost.h"

namespace orvo {

PosixHost::PosixHost(std::string root) : root_(std::move(root)), currentDirectory_("C:\\") {}

WinError PosixHost::GetFileAttributes(const std::string&, uint32_t*) { return kErrorAccessDenied; }
WinError PosixHost::FindFirst(const std::string&, std::unique_ptr<DirSearch>*, FindData*) {
  return kErrorAccessDenied;
}
WinError PosixHost::CreateDirectory(const std::string&) { return kErrorAccessDenied; }
WinError PosixHost::RemoveDirectory(const std::string&) { return kErrorAccessDenied; }
WinError PosixHost::DeleteFile(const std::string&) { return kErrorAccessDenied; }
WinError PosixHost::MoveFile(const std::string&, const std::string&, bool) {
  return kErrorAccessDenied;
}
WinError PosixHost::OpenFile(const std::string&, FileAccess, FileShare, FileDisposition,
                             std::unique_ptr<FileHandle>*) {
  return kErrorAccessDenied;
}
WinError PosixHost::GetFullPathName(const std::string& path, std::string* full) {
  *full = path;
  return kErrorSuccess;
}
std::string PosixHost::GetCurrentDirectory() { return currentDirectory_; }
WinError PosixHost::SetCurrentDirectory(const std::string&) { return kErrorAccessDenied; }
std::string PosixHost::ErrorText(WinError) { return "Access is denied.\r\n"; }

}  // namespace orvo
