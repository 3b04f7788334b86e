// What holds a worker without progress, and what the pool does about it: a database that never
// answers, clients that went away, peers that stall, kept connections, and the signals of the
// operators. Short limits (1 to 2 s) keep the cases quick; no case asserts how fast anything is.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FastCgiWorker.h"
#include "TestSupport.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;
using test::Environment;

const char kBatch[] = "tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390";
const char kBatchFile[] = "/d/Lotes/VESTRA/PED001813720240815093012000001523903";
const char kLate[] = "The request was not answered within 2 seconds (ORVO_REQUEST_TIMEOUT)";

// A database server that takes connections and never says a word.
class SilentListener {
 public:
  SilentListener() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), size);
    listen(fd_, 16);  // the system completes the connections; nobody ever reads them
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~SilentListener() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

Environment Params(const std::string& path, const std::string& body) {
  return {{"REQUEST_METHOD", "POST"},
          {"SERVER_PROTOCOL", "HTTP/1.1"},
          {"PATH_INFO", path},
          {"CONTENT_LENGTH", std::to_string(body.size())}};
}

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = 15s) {
  for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(20ms)) {
    if (condition()) return true;
  }
  return condition();
}

std::string LateAnswer(const std::string& path) {
  const std::string page = "<html><body><h1>Internal Application Error</h1>\r\n<p>" +
                           std::string(kLate) + "\r\n<p><hr width=\"100%\"><i>" + path +
                           "</i></body></html>";
  return "Status: 500 Internal Server Error\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(page.size()) + "\r\nContent:\r\n\r\n" + page;
}

class StallTest : public ::testing::Test {
 protected:
  StallTest() {
    test::WriteHostFile(Disk("/c/Orvo/Orvo.Net/Config/Orvo.Config"),
                        "[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Lotes\r\n[Orvo.FrameWork]\r\n"
                        "PathManuais=C:\\Manuais\r\nDBSuporte=127.0.0.1/" +
                            std::to_string(database_.port()) + ":/srv/suporte.fdb\r\n");
    test::WriteHostFile(Disk("/c/Manuais/guia.txt"), "guia");
    test::WriteHostFile(Disk("/d/Lotes/.keep"), "");
    test::WriteHostFile(Disk("/c/Texto/grande.txt"), std::string(16 << 20, 'x'));
  }
  std::string Disk(const std::string& path) const { return root_.path() + path; }
  Environment Deployment(Environment more = {}) const {
    more.insert(
        {{"ORVO_ROOT", root_.path()}, {"LANG", "pt_BR.UTF-8"}, {"ORVO_REQUEST_TIMEOUT", "2"}});
    return more;
  }
  std::unique_ptr<test::FastCgiWorker> Pool(int workers, Environment more = {}) const {
    return std::make_unique<test::FastCgiWorker>(
        ORVO_PROGRAM, Deployment(std::move(more)),
        std::vector<std::string>{"--fastcgi", root_.path() + "/pool.sock", "--workers",
                                 std::to_string(workers)});
  }
  static test::ProgramResult Send(const test::FastCgiWorker& pool, const std::string& path,
                                  const std::string& body) {
    return pool.Request(Params(path, body), body);
  }
  // A login that the silent database holds, on a thread of its own.
  static std::thread Login(const test::FastCgiWorker& pool, test::ProgramResult* answer) {
    return std::thread([&pool, answer] { *answer = Send(pool, "/listamanuais", "u=a&p=b"); });
  }
  static bool Logged(const test::FastCgiWorker& pool, const std::string& text) {
    return pool.Log().find(text) != std::string::npos;
  }

  SilentListener database_;
  test::TempDir root_;
};

TEST_F(StallTest, SilentDatabaseEndsWithinTheDeadlineUnderBothFronts) {
  // CGI: the process answers the failure page and ends.
  Environment cgi = Deployment(Params("/listamanuais", "u=a&p=b"));
  cgi["GATEWAY_INTERFACE"] = "CGI/1.1";
  test::ProgramResult alone = test::RunProgram(ORVO_PROGRAM, cgi, "u=a&p=b");
  EXPECT_EQ(alone.out, LateAnswer("/listamanuais"));
  EXPECT_TRUE(test::IsOneLogLine(alone.err)) << alone.err;
  EXPECT_NE(alone.err.find(kLate), std::string::npos) << alone.err;
  EXPECT_EQ(alone.status, 0);

  // FastCGI: the same answer; the other worker serves meanwhile, and the pool replaces the one
  // that the deadline ended.
  auto pool = Pool(2);
  test::ProgramResult held;
  std::thread login = Login(*pool, &held);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Send(*pool, "/xmlverify", kBatch).out, test::CgiAnswer("Erro"));
  login.join();
  EXPECT_EQ(held.out, LateAnswer("/listamanuais"));
  EXPECT_TRUE(test::IsOneLogLine(held.err)) << held.err;
  EXPECT_TRUE(WaitFor([&] { return Logged(*pool, "ended (exit status 3); starting another"); }));
  EXPECT_EQ(Send(*pool, "/xmlverify", kBatch).out, test::CgiAnswer("Erro"));
  EXPECT_EQ(pool->Stop(SIGTERM), 0);

  // With one worker, the request that waited behind the held one goes to the worker started
  // after it, never to the one that the deadline ends.
  auto lone = Pool(1);
  login = Login(*lone, &held);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Send(*lone, "/xmlverify", kBatch).out, test::CgiAnswer("Erro"));
  login.join();
  EXPECT_EQ(held.out, LateAnswer("/listamanuais"));
  EXPECT_EQ(lone->Stop(SIGTERM), 0);
}

// A request queued behind a busy worker, given up by its client before it ran.
TEST_F(StallTest, AQueuedRequestNobodyWaitsForIsNotRun) {
  const std::string upload = std::string(kBatch) + "&xmldata=%3Clote%2F%3E";
  for (bool abort : {false, true}) {
    SCOPED_TRACE(abort ? "aborted" : "closed");
    auto pool = Pool(1);
    ASSERT_EQ(Send(*pool, "/uploadxml", upload).out, test::CgiAnswer(""));
    test::ProgramResult held;
    std::thread login = Login(*pool, &held);
    std::this_thread::sleep_for(300ms);
    int client = test::ConnectToWorker(pool->socket());
    const std::string request = test::FastCgiRequestBytes(Params("/xmlverify", kBatch), kBatch);
    ASSERT_EQ(write(client, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    std::this_thread::sleep_for(1200ms);  // it waits for the busy worker
    if (abort) {
      const char record[8] = {1, 2, 0, 1, 0, 0, 0, 0};  // FCGI_ABORT_REQUEST of request 1
      ASSERT_EQ(write(client, record, sizeof record), 8);
      test::ProgramResult ended = test::ReadFastCgiAnswer(client, 20);
      EXPECT_EQ(ended.status, 0);
      EXPECT_EQ(ended.out, "");
    }
    close(client);
    login.join();
    EXPECT_TRUE(WaitFor([&] { return Logged(*pool, "POST /xmlverify: "); })) << pool->Log();
    EXPECT_TRUE(Logged(*pool, "not run")) << pool->Log();
    EXPECT_TRUE(Logged(*pool, "all 1 workers busy: a request has waited over 1 s")) << pool->Log();
    EXPECT_TRUE(test::HostPathExists(Disk(kBatchFile) + ".dwl"));
    EXPECT_FALSE(test::HostPathExists(Disk(kBatchFile) + ".xml"));
    EXPECT_EQ(pool->Stop(SIGQUIT), 0);
  }
}

// A connection that holds the only worker without progress, then an ordinary request, which
// must be answered; the pool's log says what was closed.
TEST_F(StallTest, StalledPeersAndIdleKeptConnectionsAreReleased) {
  const std::string verify = test::FastCgiRequestBytes(Params("/xmlverify", kBatch), kBatch);
  const std::string read = test::FastCgiRequestBytes(
      Params("/lerxml", "arq=C%3A%5CTexto%5Cgrande.txt"), "arq=C%3A%5CTexto%5Cgrande.txt");
  struct Case {
    const char* name;
    std::string sent;
    bool readAnswer;
    const char* idleSeconds;
    const char* logged;
  };
  const Case cases[] = {
      {"sends nothing", "", false, "1", "closed a connection that sent nothing for 1 s"},
      {"sends the start only", verify.substr(0, 16), false, "1", "sent nothing for 1 s"},
      {"stops before the body", verify.substr(0, verify.find(std::string("\1\5\0\1", 4))), false,
       "1", "sent nothing for 1 s"},
      {"takes none of the answer", read, false, "1", "took none of the answer for 1 s"},
      {"keeps its connection idle",
       test::FastCgiRequestBytes(Params("/xmlverify", kBatch), kBatch, 1, true), true, "1",
       "closed a kept connection idle for 1 s"},
  };
  for (const Case& stall : cases) {
    SCOPED_TRACE(stall.name);
    auto pool = Pool(1, {{"ORVO_IDLE_TIMEOUT", stall.idleSeconds}, {"ORVO_SLOW_REQUEST", "1"}});
    int peer = test::ConnectToWorker(pool->socket());
    ASSERT_EQ(write(peer, stall.sent.data(), stall.sent.size()),
              static_cast<ssize_t>(stall.sent.size()));
    if (stall.readAnswer) {
      EXPECT_EQ(test::ReadFastCgiAnswer(peer, 20).status, 0);
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(Send(*pool, "/xmlverify", kBatch).out, test::CgiAnswer("Erro"));
    EXPECT_TRUE(WaitFor([&] { return Logged(*pool, stall.logged); })) << pool->Log();
    if (stall.readAnswer == false && stall.sent == read) {
      EXPECT_TRUE(Logged(*pool, "slow request: POST /lerxml took ")) << pool->Log();
    }
    close(peer);
    EXPECT_EQ(pool->Stop(SIGTERM), 0);
  }
}

TEST_F(StallTest, RequestsTheWorkerDoesNotServeAreRefused) {
  auto pool = Pool(1);
  const std::string bigParam(1 << 20, 'p');
  struct Case {
    const char* name;
    std::string sent;
    int protocolStatus;  // of the end of the request
  };
  const Case cases[] = {
      {"authorizer", test::FastCgiRequestBytes(Params("/xmlverify", kBatch), kBatch, 2), 3},
      {"filter", test::FastCgiRequestBytes(Params("/xmlverify", kBatch), kBatch, 3), 3},
      {"parameters over 1 MiB", test::FastCgiRequestBytes({{"HTTP_X", bigParam}}, ""), 2},
  };
  for (const Case& refused : cases) {
    SCOPED_TRACE(refused.name);
    int peer = test::ConnectToWorker(pool->socket());
    ASSERT_GT(write(peer, refused.sent.data(), refused.sent.size()), 0);
    int protocolStatus = -1;
    test::ProgramResult answer = test::ReadFastCgiAnswer(peer, 20, &protocolStatus);
    EXPECT_EQ(answer.out, "");
    EXPECT_EQ(protocolStatus, refused.protocolStatus);
    close(peer);
  }
  EXPECT_EQ(Send(*pool, "/xmlverify", kBatch).out, test::CgiAnswer("Erro"));
  EXPECT_EQ(pool->Stop(SIGTERM), 0);
}

// Each signal with a login in hand that the silent database holds until the deadline.
TEST_F(StallTest, SignalsAsOperatorsExpectThem) {
  struct Case {
    int signal;
    bool loginAnswered;  // the request in hand finishes (with the deadline's answer)
    bool poolGoesOn;
  };
  const Case cases[] = {{SIGQUIT, true, false},
                        {SIGTERM, true, false},
                        {SIGINT, false, false},
                        {SIGHUP, true, true},
                        {SIGUSR2, true, true}};
  for (const Case& sent : cases) {
    SCOPED_TRACE(strsignal(sent.signal));
    auto pool = Pool(2);
    ASSERT_EQ(Send(*pool, "/xmlverify", kBatch).out, test::CgiAnswer("Erro"));
    test::ProgramResult held;
    std::thread login = Login(*pool, &held);
    std::this_thread::sleep_for(300ms);
    kill(pool->pid(), sent.signal);
    login.join();
    EXPECT_EQ(held.out, sent.loginAnswered ? LateAnswer("/listamanuais") : "");
    if (sent.poolGoesOn) {
      EXPECT_TRUE(pool->Running());
      EXPECT_EQ(Send(*pool, "/xmlverify", kBatch).out, test::CgiAnswer("Erro"));
    } else {
      EXPECT_TRUE(WaitFor([&] { return !pool->Running(); }));
      EXPECT_FALSE(test::HostPathExists(pool->socket()));
      // The deadline's answer counts as served.
      EXPECT_TRUE(Logged(
          *pool, sent.loginAnswered ? "stopped: 2 requests served" : "stopped: 1 requests served"))
          << pool->Log();
    }
    EXPECT_EQ(pool->Stop(SIGTERM), 0);
  }
}

TEST_F(StallTest, ReloadUnderAStreamOfRequestsAnswersEveryOne) {
  const char* wanted = std::getenv("ORVO_RELOAD_REQUESTS");
  const int total = wanted != nullptr && std::atoi(wanted) > 0 ? std::atoi(wanted) : 2000;
  constexpr int kClients = 4;
  auto pool = Pool(2);
  std::atomic<int> sent{0}, failed{0};
  std::mutex firstFailureLock;
  std::string firstFailure;
  std::vector<std::thread> clients;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&] {
      while (sent++ < total) {
        const test::ProgramResult result = Send(*pool, "/xmlverify", kBatch);
        if (result.out == test::CgiAnswer("Erro")) continue;
        ++failed;
        std::lock_guard lock(firstFailureLock);
        if (firstFailure.empty()) firstFailure = result.out + "|" + result.err + "|";
      }
    });
  }
  ASSERT_TRUE(WaitFor([&] { return sent >= total / 2; }, 600s));
  kill(pool->pid(), SIGHUP);
  for (std::thread& client : clients) client.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%d requests from %d clients with a reload half-way: %d not answered, %.1f s\n",
              total, kClients, failed.load(), seconds);
  EXPECT_EQ(failed, 0) << firstFailure << pool->Log();
  EXPECT_TRUE(Logged(*pool, "reloading (HUP)"));
  EXPECT_EQ(pool->Stop(SIGTERM), 0);
  EXPECT_EQ(pool->Complaints(), "");
}

// Reloads in a row while every worker holds a login: each ends with the pool's size of workers
// of the newest generation, and every request is answered.
TEST_F(StallTest, ReloadsInARowWhileBusyEndWithEveryWorker) {
  for (const std::vector<int>& signals :
       std::vector<std::vector<int>>{{SIGHUP, SIGHUP}, {SIGHUP, SIGUSR2, SIGHUP}}) {
    SCOPED_TRACE(signals.size());
    auto pool = Pool(2);
    test::ProgramResult held[2];
    std::thread logins[2] = {Login(*pool, &held[0]), Login(*pool, &held[1])};
    std::this_thread::sleep_for(300ms);
    for (int signal : signals) {
      kill(pool->pid(), signal);
      std::this_thread::sleep_for(400ms);
    }
    for (std::thread& login : logins) login.join();
    for (const test::ProgramResult& answer : held)
      EXPECT_EQ(answer.out, LateAnswer("/listamanuais"));
    EXPECT_TRUE(WaitFor([&] { return test::ChildrenOf(pool->pid()).size() == 2; })) << pool->Log();
    EXPECT_EQ(Send(*pool, "/xmlverify", kBatch).out, test::CgiAnswer("Erro"));
    EXPECT_EQ(pool->Stop(SIGTERM), 0);
  }
}

// Connections that wait (silent, trickling, kept idle, or beyond the pool's limit) never hold
// up a request that has arrived, nor does a request behind another on the same connection.
TEST_F(StallTest, WaitingConnectionsNeverHoldUpArrivedRequests) {
  struct Case {
    const char* name;
    int silent;
    const char* limit;  // ORVO_MAX_CONNECTIONS
    const char* logged;
  };
  const Case cases[] = {
      {"1,000 silent connections", 1000, "4096", ""},
      {"over the connection limit", 300, "100", "closed the connection idle longest"},
  };
  const std::string verify = test::FastCgiRequestBytes(Params("/xmlverify", kBatch), kBatch);
  for (const Case& waiting : cases) {
    SCOPED_TRACE(waiting.name);
    auto pool = Pool(2, {{"ORVO_MAX_CONNECTIONS", waiting.limit}});
    std::vector<int> peers;
    for (int i = 0; i < waiting.silent; ++i) {
      peers.push_back(test::ConnectToWorker(pool->socket()));
      if (i % 3 == 1) {
        EXPECT_EQ(write(peers.back(), verify.data(), 20), 20);  // trickles
      }
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Send(*pool, "/xmlverify", kBatch).out, test::CgiAnswer("Erro"));
    EXPECT_TRUE(Logged(*pool, waiting.logged)) << pool->Log();
    for (int peer : peers) close(peer);
    EXPECT_EQ(pool->Stop(SIGTERM), 0);
  }
}

// Two requests in one write on a kept connection, then a half-close: both are answered, in order.
TEST_F(StallTest, BufferedRequestsAndAHalfCloseAreAnswered) {
  auto pool = Pool(1);
  for (bool halfClose : {false, true}) {
    SCOPED_TRACE(halfClose ? "half-closed" : "open");
    Environment second = Params("/xmlverify", kBatch);
    second["PATH_INFO"] = "/listaarquivos";
    const std::string both =
        test::FastCgiRequestBytes(Params("/xmlverify", kBatch), kBatch, 1, true) +
        test::FastCgiRequestBytes(second, kBatch, 1, false);
    int peer = test::ConnectToWorker(pool->socket());
    ASSERT_EQ(write(peer, both.data(), both.size()), static_cast<ssize_t>(both.size()));
    if (halfClose) shutdown(peer, SHUT_WR);
    std::string received;
    char buffer[65536];
    for (ssize_t got; (got = read(peer, buffer, sizeof buffer)) > 0;) received.append(buffer, got);
    close(peer);
    const std::string end("\1\3\0\1\0\10", 6);  // the header of request 1's end
    const size_t first = received.find("Erro"), ends = received.find(end);
    EXPECT_NE(first, std::string::npos) << received;
    EXPECT_NE(received.find(end, ends + 1), std::string::npos) << received;
    EXPECT_LT(first, ends);
  }
  EXPECT_EQ(pool->Stop(SIGTERM), 0);
  EXPECT_EQ(pool->Complaints(), "");
}

// The answer may come before the web server has sent the end of the request's body (here its
// empty last record): the web server can still send it, and the connection then ends cleanly.
TEST_F(StallTest, AWebServerFinishesSendingAfterTheAnswer) {
  auto pool = Pool(1);
  const std::string bytes = test::FastCgiRequestBytes(Params("/xmlverify", ""), "", 1, false);
  const std::string last = bytes.substr(bytes.size() - 8);
  ASSERT_EQ(last, std::string("\1\5\0\1\0\0\0\0", 8));
  int peer = test::ConnectToWorker(pool->socket());
  ASSERT_EQ(write(peer, bytes.data(), bytes.size() - 8), static_cast<ssize_t>(bytes.size() - 8));
  const std::string end("\1\3\0\1\0\10", 6);  // the header of request 1's end
  std::string received;
  char buffer[65536];
  for (ssize_t got;
       received.find(end) == std::string::npos && (got = read(peer, buffer, sizeof buffer)) > 0;) {
    received.append(buffer, got);
  }
  ASSERT_NE(received.find(end), std::string::npos) << received;
  std::this_thread::sleep_for(200ms);  // time enough to close the connection, were it closing
  EXPECT_EQ(send(peer, last.data(), last.size(), MSG_NOSIGNAL), 8) << std::strerror(errno);
  EXPECT_EQ(read(peer, buffer, sizeof buffer), 0);
  close(peer);
  EXPECT_EQ(pool->Stop(SIGTERM), 0);
  EXPECT_EQ(pool->Complaints(), "");
}

// A large body goes to a worker while it still arrives, which reads it as it comes; at most half
// of the workers wait on such bodies, so a quick request is answered while two uploads hang half
// sent. A body that then stops arriving for the idle time, or that the web server aborts, is cut
// and answered; one sent in pieces over longer than the request's deadline is saved whole (the
// deadline counts from the body's arrival).
TEST_F(StallTest, BodiesStillArrivingNeverHoldEveryWorker) {
  test::WriteHostFile(Disk("/d/Lotes/VESTRA/.keep"), "");
  const std::string xml = "<lote>" + std::string(3 << 20, 'x') + "</lote>";
  const std::string body =
      std::string(kBatch) + "&xmldata=%3Clote%3E" + std::string(3 << 20, 'x') + "%3C%2Flote%3E";
  const std::string bytes = test::FastCgiRequestBytes(Params("/uploadxml", body), body);
  const std::string saved = Disk(kBatchFile) + ".dwl";
  auto pool = Pool(2, {{"ORVO_IDLE_TIMEOUT", "2"}, {"ORVO_REQUEST_TIMEOUT", "3"}});
  auto sendPart = [&](int peer, size_t from, size_t to) {
    ASSERT_EQ(write(peer, bytes.data() + from, to - from), static_cast<ssize_t>(to - from));
  };
  const size_t half = bytes.size() / 2;

  std::vector<int> hanging;
  for (int i = 0; i < 2; ++i) {
    hanging.push_back(test::ConnectToWorker(pool->socket()));
    sendPart(hanging.back(), 0, half);
    std::this_thread::sleep_for(200ms);
  }
  EXPECT_EQ(Send(*pool, "/xmlverify", kBatch).out, test::CgiAnswer("Erro"));
  EXPECT_FALSE(Logged(*pool, "stopped arriving")) << "answered only once a hanging one was cut";
  const test::ProgramResult cut = test::ReadFastCgiAnswer(hanging[0], 20);
  EXPECT_EQ(cut.status, 0);
  EXPECT_NE(cut.out.find("Incomplete request body: "), std::string::npos) << cut.out;
  EXPECT_TRUE(Logged(*pool, "closed a connection whose body stopped arriving for 2 s"));
  for (int peer : hanging) close(peer);

  int aborted = test::ConnectToWorker(pool->socket());
  sendPart(aborted, 0, half);
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(write(aborted, "\1\2\0\1\0\0\0\0", 8), 8);  // the web server aborts request 1
  EXPECT_NE(test::ReadFastCgiAnswer(aborted, 20).out.find("Incomplete request body: "),
            std::string::npos);
  close(aborted);
  EXPECT_FALSE(test::HostPathExists(saved));

  int pieces = test::ConnectToWorker(pool->socket());
  for (size_t at = 0; at < bytes.size(); at += bytes.size() / 4 + 1) {
    std::this_thread::sleep_for(1200ms);
    sendPart(pieces, at, std::min(bytes.size(), at + bytes.size() / 4 + 1));
  }
  EXPECT_EQ(test::ReadFastCgiAnswer(pieces, 20).out, test::CgiAnswer(""));
  close(pieces);
  EXPECT_EQ(test::ReadHostFile(saved), xml + "\r\n");
  EXPECT_EQ(pool->Stop(SIGTERM), 0);
}

// A worker's memory after a large upload, or a body it does not read, is back near its idle size.
TEST_F(StallTest, LargeBodiesLeaveNoMemoryBehind) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's allocator keeps freed memory on purpose";
#endif
  auto resident = [](pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line) && line.compare(0, 6, "VmRSS:") != 0) {
    }
    return std::atol(line.c_str() + 6) * 1024L;
  };
  struct Case {
    const char* name;
    std::string length;  // CONTENT_LENGTH
    std::string body;
  };
  const Case cases[] = {
      {"a 60 MB upload", "", std::string(kBatch) + "&xmldata=" + std::string(60 << 20, 'x')},
      {"a length of 5 GB", "5000000000", std::string(100 << 20, 'y')},
      {"a length of -1", "-1", std::string(32 << 20, 'y')},
  };
  auto pool = Pool(1);
  ASSERT_EQ(Send(*pool, "/xmlverify", kBatch).out, test::CgiAnswer("Erro"));
  const pid_t worker = *test::ChildrenOf(pool->pid()).begin();
  const long idle = resident(worker);
  for (const Case& large : cases) {
    SCOPED_TRACE(large.name);
    Environment params = Params("/uploadxml", large.body);
    if (!large.length.empty()) params["CONTENT_LENGTH"] = large.length;
    pool->Request(params, large.body);
    EXPECT_LT(resident(worker), idle + (8L << 20)) << "idle: " << idle;
  }
  EXPECT_EQ(pool->Stop(SIGTERM), 0);
}

TEST_F(StallTest, WorkersThatKeepEndingAreRestartedOneASecond) {
  auto pool = Pool(1, {{"ORVO_REQUEST_TIMEOUT", "0"}});
  for (int ended = 0; ended < 12; ++ended) {
    std::set<pid_t> before;
    ASSERT_TRUE(WaitFor([&] { return !(before = test::ChildrenOf(pool->pid())).empty(); }));
    kill(*before.begin(), SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return test::ChildrenOf(pool->pid()) != before; }));
  }
  EXPECT_TRUE(Logged(*pool, "restarting them no faster than one a second")) << pool->Log();
  EXPECT_EQ(pool->Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace orvo
