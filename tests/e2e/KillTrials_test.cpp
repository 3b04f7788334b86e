// The program killed in the middle of a 64 MiB upload, at random moments (half of them while it
// saves): SIGKILL 50 times and SIGTERM 20 times over an earlier batch of the same key. The batch
// file is only ever the earlier batch or the whole new one; after SIGTERM no temporary file is
// left, and a later save removes those a SIGKILL left once they are an hour old. The seed of the
// moments is printed; ORVO_KILL_SEED repeats a run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char kStore[] = "d/Movel/Lotes/VESTRA";
const char kBatchName[] = "PED001813720240815093012000001523903.dwl";
const char kEarlier[] = "<lote antigo/>\r\n";
constexpr size_t kBatchBytes = 64 << 20;

// 64 MiB of XML lines; in the body spaces are "+" and each line break "%0D%0A".
std::string NewBatch() {
  std::string xml;
  xml.reserve(kBatchBytes + 64);
  for (int i = 0; xml.size() < kBatchBytes; ++i) {
    xml += "<item seq " + std::to_string(i) + " descr Pedido de teste>\r\n";
  }
  xml.resize(kBatchBytes);
  return xml;
}

std::string EncodedBody(const std::string& xml) {
  std::string body =
      "tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390&xmldata=";
  body.reserve(body.size() + xml.size() + xml.size() / 8);
  for (char c : xml) {
    if (c == ' ') {
      body += '+';
    } else if (c == '\r' || c == '\n' || c == '<' || c == '>') {
      static constexpr char kHex[] = "0123456789ABCDEF";
      body += {'%', kHex[(c >> 4) & 15], kHex[c & 15]};
    } else {
      body += c;
    }
  }
  return body;
}

class KillTrialsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A kill loses nothing a disk would keep, so memory serves, and spares a busy disk.
    if (access("/dev/shm", W_OK) == 0)
      tmpdir_ = std::make_unique<test::ScopedEnv>("TMPDIR", "/dev/shm");
    bodyDir_ = std::make_unique<test::TempDir>();
    xml_ = new std::string(NewBatch());
    test::WriteHostFile(bodyDir_->path() + "/body", EncodedBody(*xml_));
  }
  static void TearDownTestSuite() {
    delete xml_;
    xml_ = nullptr;
    bodyDir_.reset();
    tmpdir_.reset();
  }

  KillTrialsTest() {
    test::WriteHostFile(Disk("c/Orvo/Orvo.Net/Config/Orvo.Config"),
                        "[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Movel\\Lotes\r\n");
    fs::create_directories(Disk(kStore));
    const char* seed = std::getenv("ORVO_KILL_SEED");
    seed_ = seed != nullptr ? std::strtoul(seed, nullptr, 10) : std::random_device{}();
    random_.seed(seed_);
    std::cout << "seed " << seed_ << " (ORVO_KILL_SEED repeats it)\n";
  }

  std::string Disk(const std::string& relative) const { return root_.path() + "/" + relative; }
  std::string Batch() const { return Disk(kStore) + "/" + kBatchName; }

  // Starts an upload of the body file; its answer goes nowhere.
  pid_t Start(const std::string& bodyFile) const {
    const std::map<std::string, std::string> environment = {
        {"ORVO_ROOT", root_.path()},
        {"REQUEST_METHOD", "POST"},
        {"SERVER_PROTOCOL", "HTTP/1.1"},
        {"PATH_INFO", "/uploadxml"},
        {"CONTENT_LENGTH", std::to_string(fs::file_size(bodyFile))},
        {"ORVO_CLIENT_LIBRARY", ORVO_FBSTUB}};
    std::vector<std::string> entries;
    for (const auto& [name, value] : environment) entries.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, bodyFile.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::string program = ORVO_PROGRAM;
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0);
    return pid;
  }

  // The time of a whole upload on this machine, the fastest of three: the span the kills are
  // spread over.
  double UploadSeconds() {
    double fastest = 1e9;
    for (int i = 0; i < 3; ++i) {
      auto start = Clock::now();
      int status = 0;
      waitpid(Start(BodyFile()), &status, 0);
      fastest = std::min(fastest, std::chrono::duration<double>(Clock::now() - start).count());
      EXPECT_EQ(Kept(), "new") << "a whole upload did not store its batch";
    }
    return fastest;
  }

  // What the batch file holds: "earlier", "new", or a description of what is wrong.
  std::string Kept() const {
    std::string content = test::HostPathExists(Batch()) ? test::ReadHostFile(Batch()) : "";
    if (content == kEarlier) return "earlier";
    if (content.size() == xml_->size() + 2 && content.compare(0, xml_->size(), *xml_) == 0 &&
        content.compare(xml_->size(), 2, "\r\n") == 0) {
      return "new";
    }
    return "torn batch of " + std::to_string(content.size()) + " bytes";
  }

  // Returns once the save's temporary file is there or the program has ended.
  void AwaitSave(pid_t pid) const {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (TemporaryFiles().empty() && Clock::now() < deadline) {
      siginfo_t info{};
      if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) return;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  // The files in the folder of the saves' temporary files.
  std::vector<fs::path> TemporaryFiles() const {
    std::vector<fs::path> found;
    std::error_code none;
    for (const auto& entry : fs::directory_iterator(Disk(kStore) + "/.~orvo", none)) {
      found.push_back(entry.path());
    }
    return found;
  }

  // The store folder holds the batch and the temporary files' folder, nothing else.
  void ExpectNothingElse() const {
    for (const auto& entry : fs::directory_iterator(Disk(kStore))) {
      std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == kBatchName || name == ".~orvo") << "stray file " << name;
    }
  }

  struct Tally {
    int earlier = 0, stored = 0, ended = 0, temporaries = 0;
  };

  // `trials` uploads over the earlier batch, each sent `signal` at a random moment of it.
  Tally Trials(int signal, int trials, bool keepTemporaries = false) {
    const double span = UploadSeconds();
    // Half the moments anywhere in the upload; half within 100 ms of the save's temporary
    // file appearing, which spans the write, the flush, the move and the end.
    std::uniform_real_distribution<double> anywhere(0, span), duringSave(0, 0.1);
    Tally tally;
    for (int i = 0; i < trials; ++i) {
      test::WriteHostFile(Batch(), kEarlier);
      pid_t pid = Start(BodyFile());
      if (i % 2 == 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(anywhere(random_)));
      } else {
        AwaitSave(pid);
        std::this_thread::sleep_for(std::chrono::duration<double>(duringSave(random_)));
      }
      kill(pid, signal);
      int status = 0;
      waitpid(pid, &status, 0);
      if (WIFEXITED(status)) ++tally.ended;
      const std::string kept = Kept();
      EXPECT_TRUE(kept == "earlier" || kept == "new") << "trial " << i << ": " << kept;
      (kept == "new" ? tally.stored : tally.earlier) += 1;
      ExpectNothingElse();
      std::vector<fs::path> temporaries = TemporaryFiles();
      tally.temporaries += static_cast<int>(temporaries.size());
      if (!keepTemporaries) {
        for (const auto& path : temporaries) fs::remove(path);  // 64 MiB each
      }
    }
    std::cout << strsignal(signal) << ": " << trials << " kills over uploads of " << span
              << " s: the earlier batch kept " << tally.earlier << " times, the new one stored "
              << tally.stored << " times (" << tally.ended
              << " had ended before the signal); temporary files left: " << tally.temporaries
              << "\n";
    return tally;
  }

  static std::string BodyFile() { return bodyDir_->path() + "/body"; }

  test::TempDir root_;
  unsigned long seed_ = 0;
  std::mt19937 random_;
  static std::string* xml_;
  static std::unique_ptr<test::TempDir> bodyDir_;
  static std::unique_ptr<test::ScopedEnv> tmpdir_;
};

std::string* KillTrialsTest::xml_ = nullptr;
std::unique_ptr<test::TempDir> KillTrialsTest::bodyDir_;
std::unique_ptr<test::ScopedEnv> KillTrialsTest::tmpdir_;

TEST_F(KillTrialsTest, SigkillNeverTearsTheBatch) { Trials(SIGKILL, 50); }

TEST_F(KillTrialsTest, SigtermLeavesNoTemporaryFile) {
  Tally tally = Trials(SIGTERM, 20);
  EXPECT_EQ(tally.temporaries, 0);
}

TEST_F(KillTrialsTest, ALaterSaveRemovesTemporaryFilesOlderThanAnHour) {
  // What a SIGKILL during a save leaves, two hours ago, beside one of a save in progress.
  const std::string old = Disk(kStore) + "/.~orvo/00000000000000aa.tmp";
  const std::string young = Disk(kStore) + "/.~orvo/00000000000000bb.tmp";
  test::WriteHostFile(old, "meio lote");
  test::WriteHostFile(young, "meio lote");
  timeval twoHoursAgo[2] = {{time(nullptr) - 7200, 0}, {time(nullptr) - 7200, 0}};
  ASSERT_EQ(utimes(old.c_str(), twoHoursAgo), 0);

  const std::string body = test::FormBody({{"tag", "PED001"},
                                           {"representante", "8137"},
                                           {"coddh", "20240815093012000"},
                                           {"totallote", "00152390"},
                                           {"xmldata", "<lote/>"}});
  test::WriteHostFile(BodyFile() + ".small", body);
  int status = 0;
  waitpid(Start(BodyFile() + ".small"), &status, 0);
  EXPECT_EQ(test::ReadHostFile(Batch()), "<lote/>\r\n");
  EXPECT_FALSE(test::HostPathExists(old)) << "an hour-old temporary file outlived a save";
  EXPECT_TRUE(test::HostPathExists(young)) << "a save removed one that may be in progress";
}

}  // namespace
}  // namespace orvo
