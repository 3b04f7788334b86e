// Byte streams: the exact transfers, the stream on a host file and the file stream.

#include <algorithm>

#include "common/Classes.h"
#include "common/SysUtils.h"
#include "common/SysUtilsFiles.h"

namespace orvo {
namespace {

// The host's open request for a stream mode; false for a mode outside the table.
bool OpenRequest(uint16_t mode, FileAccess* access, FileShare* share) {
  static constexpr FileAccess kAccess[] = {FileAccess::kRead, FileAccess::kWrite,
                                           FileAccess::kReadWrite};
  static constexpr FileShare kShare[] = {
      {false, false}, {false, false}, {true, false}, {false, true}, {true, true}};
  unsigned accessPart = mode & 0x03;
  unsigned sharePart = (mode & 0xF0) >> 4;
  if (accessPart > 2 || sharePart > 4) return false;
  *access = kAccess[accessPart];
  *share = kShare[sharePart];
  return true;
}

}  // namespace

int64_t TStream::Size() {
  int64_t position = Seek(0, SeekOrigin::kCurrent);
  int64_t size = Seek(0, SeekOrigin::kEnd);
  Seek(position, SeekOrigin::kBegin);
  return size;
}

// A stream without storage of its own has no length to set.
void TStream::SetSize(int64_t) {}

void TStream::ReadBuffer(void* buffer, int32_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

void TStream::WriteAll(std::string_view bytes) {
  constexpr size_t kPiece = 1 << 30;
  for (; !bytes.empty(); bytes.remove_prefix(std::min(bytes.size(), kPiece))) {
    WriteBuffer(bytes.data(), static_cast<int32_t>(std::min(bytes.size(), kPiece)));
  }
}

int32_t THandleStream::Read(void* buffer, int32_t count) {
  size_t done = 0;
  if (count <= 0 || handle_->Read(buffer, static_cast<size_t>(count), &done) != kErrorSuccess) {
    return 0;
  }
  return static_cast<int32_t>(done);
}

int32_t THandleStream::Write(const void* buffer, int32_t count) {
  size_t done = 0;
  if (count <= 0 || handle_->Write(buffer, static_cast<size_t>(count), &done) != kErrorSuccess) {
    return 0;
  }
  return static_cast<int32_t>(done);
}

int64_t THandleStream::Seek(int64_t offset, SeekOrigin origin) {
  int64_t position = 0;
  return handle_->Seek(offset, origin, &position) == kErrorSuccess ? position : -1;
}

void THandleStream::SetSize(int64_t size) {
  Seek(size, SeekOrigin::kBegin);
  WinError error = handle_->SetEndOfFile();
  if (error != kErrorSuccess) {
    throw EOSError("System Error.  Code: " + std::to_string(error) + ".\r\n" +
                       Host::Default().ErrorText(error),
                   static_cast<int32_t>(error));
  }
}

TFileStream::TFileStream(const std::string& fileName, uint16_t mode) : fileName_(fileName) {
  Host& host = Host::Default();
  if (mode == fmCreate) {
    WinError error = host.OpenFile(fileName, FileAccess::kReadWrite, FileShare{},
                                   FileDisposition::kCreateAlways, &handle_);
    if (error != kErrorSuccess) {
      throw EFCreateError(FileStreamMessage("create", fileName, error));
    }
    return;
  }
  FileAccess access;
  FileShare share;
  WinError error =
      OpenRequest(mode, &access, &share)
          ? host.OpenFile(fileName, access, share, FileDisposition::kOpenExisting, &handle_)
          : kErrorInvalidParameter;
  if (error != kErrorSuccess) {
    throw EFOpenError(FileStreamMessage("open", fileName, error));
  }
}

}  // namespace orvo
