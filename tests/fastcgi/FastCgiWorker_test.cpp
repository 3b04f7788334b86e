// The program as a FastCGI worker process: how it stops, how a pool replaces its workers, and
// whose socket it may take over.
#include "FastCgiWorker.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "TestSupport.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;
using test::Environment;

template <typename Condition>
bool WaitFor(Condition condition) {
  for (int i = 0; i < 1000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

class WorkerProcessTest : public ::testing::Test {
 protected:
  WorkerProcessTest() {
    test::WriteHostFile(root_.path() + "/c/Orvo/Orvo.Net/Config/Orvo.Config",
                        "[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Lotes\r\n");
    test::WriteHostFile(root_.path() + "/d/.keep", "");
  }
  Environment Deployment() const { return {{"ORVO_ROOT", root_.path()}, {"LANG", "pt_BR.UTF-8"}}; }
  static Environment Params(const std::string& path, const std::string& body) {
    return {{"REQUEST_METHOD", "POST"},
            {"SERVER_PROTOCOL", "HTTP/1.1"},
            {"PATH_INFO", path},
            {"CONTENT_LENGTH", std::to_string(body.size())}};
  }
  static constexpr const char* kVerify =
      "tag=PED002&representante=8137&coddh=20240815093012000&totallote=00152390";
  std::string Verify(const test::FastCgiWorker& worker) const {
    return worker.Request(Params("/xmlverify", kVerify), kVerify).out;
  }
  test::TempDir root_;
};

TEST_F(WorkerProcessTest, StopSignalLetsTheOpenRequestFinish) {
  test::FastCgiWorker worker(ORVO_PROGRAM, Deployment());
  const std::string xml(1 << 20, 'x');
  const std::string body =
      "tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390&xmldata=" + xml;
  bool runningMidway = false;
  auto result = worker.Request(Params("/uploadxml", body), body, [&] {
    std::this_thread::sleep_for(300ms);  // the worker now waits for the rest of the body
    kill(worker.pid(), SIGTERM);
    std::this_thread::sleep_for(100ms);
    runningMidway = worker.Running();
  });
  EXPECT_TRUE(runningMidway);
  EXPECT_EQ(result.out, test::CgiAnswer(""));
  EXPECT_EQ(
      test::ReadHostFile(root_.path() + "/d/Lotes/VESTRA/PED001813720240815093012000001523903.dwl"),
      xml + "\r\n");
  // Then it ends on its own, cleanly, and takes its socket away.
  EXPECT_TRUE(WaitFor([&] { return !worker.Running(); }));
  EXPECT_EQ(worker.Stop(), 0);
  EXPECT_FALSE(test::HostPathExists(worker.socket()));
  EXPECT_EQ(worker.Complaints(), "");
}

TEST_F(WorkerProcessTest, PoolReplacesAWorkerThatEnds) {
  test::TempDir dir;
  test::FastCgiWorker pool(ORVO_PROGRAM, Deployment(),
                           {"--fastcgi", dir.path() + "/pool.sock", "--workers", "2"});
  std::set<pid_t> workers;
  ASSERT_TRUE(WaitFor([&] { return (workers = test::ChildrenOf(pool.pid())).size() == 2; }));
  const pid_t killed = *workers.begin();
  kill(killed, SIGKILL);
  EXPECT_TRUE(WaitFor([&] {
    workers = test::ChildrenOf(pool.pid());
    return workers.size() == 2 && workers.count(killed) == 0;
  }));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Verify(pool), test::CgiAnswer("Erro"));

  EXPECT_EQ(pool.Stop(SIGTERM), 0);
  for (pid_t worker : workers) EXPECT_NE(kill(worker, 0), 0) << worker << " outlived the pool";
  EXPECT_NE(pool.Log().find("worker " + std::to_string(killed) + " ended (signal 9)"),
            std::string::npos)
      << pool.Log();
}

// The rest of a request sent on `client`, then what came back before it closed.
std::string Answer(int client, std::string_view rest) {
  signal(SIGPIPE, SIG_IGN);  // a connection closed early fails the test, not the run
  EXPECT_EQ(write(client, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
  std::string out = test::ReadFastCgiAnswer(client, 20).out;
  close(client);
  return out;
}

// A stopping pool answers the requests begun, also as the signal comes and after losing its worker.
TEST_F(WorkerProcessTest, StoppingPoolReplacesAWorkerLostWhileRequestsRemain) {
  test::TempDir dir;
  test::FastCgiWorker pool(ORVO_PROGRAM, Deployment(),
                           {"--fastcgi", dir.path() + "/pool.sock", "--workers", "1"});
  std::set<pid_t> workers;
  ASSERT_TRUE(WaitFor([&] { return (workers = test::ChildrenOf(pool.pid())).size() == 1; }));
  const std::string request = test::FastCgiRequestBytes(Params("/xmlverify", kVerify), kVerify);
  const int client = test::ConnectToWorker(pool.socket());
  ASSERT_EQ(write(client, request.data(), 20), 20);
  kill(pool.pid(), SIGTERM);
  std::this_thread::sleep_for(200ms);
  kill(*workers.begin(), SIGKILL);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Answer(client, std::string_view(request).substr(20)), test::CgiAnswer("Erro"));
  EXPECT_TRUE(WaitFor([&] { return !pool.Running(); })) << pool.Log();
}

// A stopping pool answers the connections made before the signal, also those still in the listen
// queue (the stopped pool leaves them there and learns of the signal first), whose request comes
// with the connection or a moment after the signal.
TEST_F(WorkerProcessTest, StoppingPoolAnswersTheConnectionsMadeBeforeTheSignal) {
  const std::string request = test::FastCgiRequestBytes(Params("/xmlverify", kVerify), kVerify);
  for (bool sentLate : {false, true}) {
    SCOPED_TRACE(sentLate ? "sent late" : "sent at once");
    test::TempDir dir;
    test::FastCgiWorker pool(ORVO_PROGRAM, Deployment(),
                             {"--fastcgi", dir.path() + "/pool.sock", "--workers", "1"});
    EXPECT_EQ(Verify(pool), test::CgiAnswer("Erro"));
    kill(pool.pid(), SIGSTOP);
    kill(pool.pid(), SIGTERM);
    const int client = test::ConnectToWorker(pool.socket());
    const std::string_view early = sentLate ? std::string_view() : request;
    ASSERT_EQ(write(client, early.data(), early.size()), static_cast<ssize_t>(early.size()));
    kill(pool.pid(), SIGCONT);
    if (sentLate) std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Answer(client, sentLate ? request : ""), test::CgiAnswer("Erro")) << pool.Log();
    EXPECT_TRUE(WaitFor([&] { return !pool.Running(); }));
    EXPECT_FALSE(test::HostPathExists(pool.socket()));
  }
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

// On a port, only the web servers that FCGI_WEB_SERVER_ADDRS names are served, also when the
// socket takes both address families (an IPv4 peer then arrives as a mapped IPv6 address).
TEST_F(WorkerProcessTest, PortServesOnlyTheWebServersNamed) {
  Environment environment = Deployment();
  environment["FCGI_WEB_SERVER_ADDRS"] = " 127.0.0.2 ,::2";
  const std::string request = test::FastCgiRequestBytes(Params("/xmlverify", kVerify), kVerify);
  for (const std::string host : {"127.0.0.1", "::"}) {
    const std::string port = std::to_string(FreePort());
    test::FastCgiWorker pool(ORVO_PROGRAM, environment, {"--fastcgi", host + ":" + port});
    EXPECT_EQ(Answer(test::ConnectToWorker("127.0.0.1:" + port, "127.0.0.2"), request),
              test::CgiAnswer("Erro"));
    EXPECT_EQ(Answer(test::ConnectToWorker("127.0.0.1:" + port), request), "") << host;
    EXPECT_NE(pool.Log().find("refused a connection from 127.0.0.1,"), std::string::npos) << host;
  }
}

// What a worker that must not start said as it ended ("" when it went on).
std::string StartFailure(const Environment& environment, const std::string& socket) {
  try {
    test::FastCgiWorker worker(ORVO_PROGRAM, environment, {"--fastcgi", socket});
    // A socket that another worker serves takes connections at once: wait for the verdict.
    if (!WaitFor([&] { return !worker.Running(); })) return "";
    return worker.Log();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

TEST_F(WorkerProcessTest, TakesOverOnlyASocketThatNobodyServes) {
  test::FastCgiWorker live(ORVO_PROGRAM, Deployment());
  EXPECT_NE(StartFailure(Deployment(), live.socket()).find("is in use"), std::string::npos);
  EXPECT_EQ(Verify(live), test::CgiAnswer("Erro"));

  test::TempDir dir;
  const std::string file = dir.path() + "/not-a-socket";
  test::WriteHostFile(file, "keep");
  EXPECT_NE(StartFailure(Deployment(), file).find("is not a socket"), std::string::npos);
  EXPECT_EQ(test::ReadHostFile(file), "keep");

  // A pool killed outright leaves its socket file behind, and its workers end with it; of two
  // pools that start together, one replaces the file and the other finds it in use.
  test::FastCgiWorker killed(ORVO_PROGRAM, Deployment());
  std::set<pid_t> orphans;
  ASSERT_TRUE(WaitFor([&] { return !(orphans = test::ChildrenOf(killed.pid())).empty(); }));
  killed.Stop(SIGKILL);
  EXPECT_TRUE(WaitFor([&] { return kill(*orphans.begin(), 0) != 0; }))
      << "a worker outlived its pool";
  ASSERT_TRUE(test::HostPathExists(killed.socket()));
  std::unique_ptr<test::FastCgiWorker> next[2];
  std::thread starts[2];
  for (int i = 0; i < 2; ++i) {
    starts[i] = std::thread([&, i] {
      try {
        next[i] = std::make_unique<test::FastCgiWorker>(
            ORVO_PROGRAM, Deployment(), std::vector<std::string>{"--fastcgi", killed.socket()});
      } catch (const std::runtime_error&) {  // ended before the socket took connections
      }
    });
  }
  for (std::thread& start : starts) start.join();
  std::this_thread::sleep_for(500ms);
  for (auto& pool : next) {
    if (pool && !pool->Running()) pool.reset();
  }
  ASSERT_NE(next[0] == nullptr, next[1] == nullptr);
  EXPECT_EQ(Verify(*(next[0] ? next[0] : next[1])), test::CgiAnswer("Erro"));
}

}  // namespace
}  // namespace orvo
