// The Linux host's process calls: what a request to end the process removes on its way out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <string>

#include "TestSupport.h"
#include "host/Host.h"

namespace orvo {
namespace {

// Runs `arm` in a child process on a fresh drive root holding C:\x\a.tmp, then sends the child
// `signal` (none for 0: the child ends by itself); returns how the child ended and whether the file
// is still there.
struct Ending {
  int signal = 0;  // the signal that ended the child, 0 when it exited
  bool fileLeft = false;
  int exitStatus = -1;
};

template <class Arm>
Ending EndChild(int signal, Arm arm) {
  test::TempDir root;
  test::WriteHostFile(root.path() + "/c/x/a.tmp", "pending");
  int ready[2];
  if (pipe(ready) != 0) return {};
  pid_t child = fork();
  if (child == 0) {
    std::unique_ptr<Host> host = NewDriveRootHost(root.path());
    arm(*host);
    char byte = 1;
    if (write(ready[1], &byte, 1) != 1) _exit(2);
    for (;;) pause();
  }
  close(ready[1]);
  char byte = 0;
  if (read(ready[0], &byte, 1) == 1 && signal != 0) kill(child, signal);
  close(ready[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return {WIFSIGNALED(status) ? WTERMSIG(status) : 0,
          test::HostPathExists(root.path() + "/c/x/a.tmp"),
          WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(PosixProcessTest, RequestToEndRemovesTheArmedFileAndStillEndsTheProcess) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    Ending ending = EndChild(signal, [](Host& host) {
      if (host.RemoveFileOnTermination("C:\\X\\A.TMP") != kErrorSuccess) _exit(3);
    });
    EXPECT_EQ(ending.signal, signal);
    EXPECT_FALSE(ending.fileLeft) << strsignal(signal);
  }

  // Withdrawn, or replaced by another path: the file stays.
  Ending withdrawn = EndChild(SIGTERM, [](Host& host) {
    host.RemoveFileOnTermination("C:\\x\\a.tmp");
    host.RemoveFileOnTermination("");
  });
  EXPECT_EQ(withdrawn.signal, SIGTERM);
  EXPECT_TRUE(withdrawn.fileLeft);
  Ending replaced = EndChild(SIGTERM, [](Host& host) {
    host.RemoveFileOnTermination("C:\\x\\a.tmp");
    host.RemoveFileOnTermination("C:\\x\\b.tmp");
  });
  EXPECT_TRUE(replaced.fileLeft);

  // A signal the process ignores stays ignored.
  Ending ignored = EndChild(SIGKILL, [](Host& host) {
    signal(SIGHUP, SIG_IGN);
    host.RemoveFileOnTermination("C:\\x\\a.tmp");
    raise(SIGHUP);
  });
  EXPECT_EQ(ignored.signal, SIGKILL);
  EXPECT_TRUE(ignored.fileLeft);
}

// A deadline that passes ends the process as a request to end it does, once its callback agrees.
TEST(PosixProcessTest, DeadlineEndsTheProcessAndRemovesTheArmedFile) {
  Ending ended = EndChild(0, [](Host& host) {
    host.RemoveFileOnTermination("C:\\x\\a.tmp");
    (void)host
        .StartDeadline(
            1, [] { return true; }, 7)
        .release();
  });
  EXPECT_EQ(ended.exitStatus, 7);
  EXPECT_FALSE(ended.fileLeft);

  // Declined by its callback (the answer had begun), or called off: the process goes on.
  Ending declined = EndChild(SIGTERM, [](Host& host) {
    (void)host
        .StartDeadline(
            1, [] { return false; }, 7)
        .release();
    sleep(2);
  });
  EXPECT_EQ(declined.signal, SIGTERM);
  Ending calledOff = EndChild(SIGTERM, [](Host& host) {
    host.StartDeadline(
            1, [] { return true; }, 7)
        .reset();
    sleep(2);
  });
  EXPECT_EQ(calledOff.signal, SIGTERM);
}

// A prepared deadline needs no thread: its timer's signal writes the line (with the time of the
// expiry) and the answer, removes the armed file and ends the process; unless the answer has
// begun or it was called off.
TEST(PosixProcessTest, PreparedDeadlineWritesItsAnswerAndEndsTheProcess) {
  test::TempDir output;
  const std::string out = output.path() + "/out", err = output.path() + "/err";
  static std::atomic<int> owner{0};
  auto arm = [&](int startOwner, bool callOff) {
    return [&, startOwner, callOff](Host& host) {
      if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(4);
      owner = startOwner;
      if (startOwner == 0 && !callOff) {  // even started with every signal blocked
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, nullptr);
      }
      host.RemoveFileOnTermination("C:\\x\\a.tmp");
      auto deadline = host.StartPreparedDeadline(
          1, PreparedExpiry{&owner, 2, "2000-01-01 00:00:00 POST /x late", "answer", 7});
      if (callOff) deadline.reset();
      (void)deadline.release();
      if (startOwner != 0 || callOff) sleep(2);
    };
  };
  Ending ended = EndChild(0, arm(0, false));
  EXPECT_EQ(ended.exitStatus, 7);
  EXPECT_FALSE(ended.fileLeft);
  EXPECT_EQ(test::ReadHostFile(out), "answer");
  const std::string line = test::ReadHostFile(err);
  EXPECT_EQ(line.substr(19), " POST /x late\n");
  EXPECT_NE(line.substr(0, 4), "2000");  // the time of the expiry, not of the preparation

  EXPECT_EQ(EndChild(SIGTERM, arm(1, false)).signal, SIGTERM);  // the answer had begun
  EXPECT_EQ(EndChild(SIGTERM, arm(0, true)).signal, SIGTERM);   // called off
}

TEST(PosixProcessTest, LocalTimesAreTheCalendarsDates) {
  for (int64_t seconds : {int64_t{0}, int64_t{951782400}, int64_t{951868799}, int64_t{1703980800},
                          int64_t{4107542399}, int64_t{-86401}}) {
    const time_t t = static_cast<time_t>(seconds);
    tm utc{};
    gmtime_r(&t, &utc);
    char expected[20], written[20] = {};
    strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &utc);
    WriteTimeText(LocalTimeOf(seconds), written);
    EXPECT_STREQ(written, expected) << seconds;
  }
}

TEST(PosixProcessTest, RemovalIsArmedOnlyForAPathItCanResolve) {
  test::DriveRoot drives("c");
  EXPECT_EQ(drives.host().RemoveFileOnTermination("Q:\\a.tmp"), kErrorPathNotFound);
  EXPECT_EQ(drives.host().RemoveFileOnTermination("C:\\"), kErrorAccessDenied);
  EXPECT_EQ(drives.host().RemoveFileOnTermination(""), kErrorSuccess);
}

}  // namespace
}  // namespace orvo
