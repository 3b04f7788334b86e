#include "web/RequestDeadline.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "host/ThreadDeadline.h"

namespace orvo {
namespace {

// Records what reaches the request's host, and from which thread; its deadline ends nothing.
class WatchedHost : public HostWrapper {
 public:
  explicit WatchedHost(Host* target) : HostWrapper(target) {}
  WinError OpenFile(const std::string& path, FileAccess access, FileShare share,
                    FileDisposition disposition, std::unique_ptr<FileHandle>* file) override {
    Note("open " + path);
    return HostWrapper::OpenFile(path, access, share, disposition, file);
  }
  std::shared_ptr<const AllowedFolders> Confine(
      std::shared_ptr<const AllowedFolders> allowed) override {
    Note("confine");
    return HostWrapper::Confine(std::move(allowed));
  }
  void WriteStdout(const void* buffer, size_t count) override {
    Note("stdout " + std::string(static_cast<const char*>(buffer), count).substr(0, 12));
  }
  void WriteOperatorLog(const std::string& line) override { Note("log " + line.substr(20)); }
  std::unique_ptr<Deadline> StartDeadline(int seconds, std::function<bool()> expired,
                                          int status) override {
    return StartThreadDeadline(seconds, std::move(expired),
                               [this, status] { Note("end " + std::to_string(status)); });
  }

  // What another thread than the one that made the host did; read once that thread is joined.
  std::vector<std::string> elsewhere;

 private:
  void Note(const std::string& what) {
    if (std::this_thread::get_id() != owner_) elsewhere.push_back(what);
  }

  const std::thread::id owner_ = std::this_thread::get_id();
};

// The expiry answers and logs through the request's channels alone: no configuration read, no
// LogFile opened, no confinement lifted, while the request's thread goes on confined.
TEST(RequestDeadlineTest, ExpiryTouchesNoFile) {
  test::DriveRoot root("c");
  test::WriteHostFile(root.Disk("c/Orvo/Orvo.Net/Config/Orvo.Config"),
                      "[Orvo.FrameWork]\r\nLogFile=C:\\orvo.log\r\nAllowedFolders=C:\\Dados\r\n");
  WatchedHost watched(&root.host());
  TRequestDeadlineHost deadline(&watched);
  Host* previous = &Host::Default();
  Host::SetDefault(&deadline);
  deadline.Start(1, 3, "POST", "/lerxml");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  deadline.Stop();
  Host::SetDefault(previous);
  EXPECT_EQ(watched.elsewhere,
            (std::vector<std::string>{
                "log POST /lerxml EWebException: The request was not answered within 1 seconds "
                "(ORVO_REQUEST_TIMEOUT)",
                "stdout Status: 500 ", "end 3"}));
  EXPECT_FALSE(test::HostPathExists(root.Disk("c/orvo.log")));
}

}  // namespace
}  // namespace orvo
