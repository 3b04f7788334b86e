// A file written whole or not at all: its bytes go to a pending file that is moved over the
// target once flushed, so a failed save never leaves the target truncated or half written.
#pragma once

#include <memory>
#include <string>

#include "common/Classes.h"

namespace orvo {

class TPendingFile {
 public:
  // Removes the abandoned pending files of earlier saves beside `target`, then creates a new one.
  // EFCreateError "Cannot create file" naming the target when it cannot be created.
  explicit TPendingFile(const std::string& target);
  // Removes the pending file unless it became the target.
  ~TPendingFile();
  TPendingFile(const TPendingFile&) = delete;
  TPendingFile& operator=(const TPendingFile&) = delete;

  // The pending file, open for reading and writing.
  TStream& Stream();
  // Flushes the bytes to the device, closes the file and moves it over the target: the one it was
  // made for, or `target` in the same folder.
  void Commit();
  void Commit(const std::string& target);

 private:
  class Pending;
  std::string target_;
  std::unique_ptr<Pending> pending_;
};

}  // namespace orvo
