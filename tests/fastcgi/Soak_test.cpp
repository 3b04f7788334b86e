// One FastCGI worker under a long run of mixed requests: every answer must equal the CGI
// answer, and the worker must hold no more memory, file handles or database attachments at
// the end than after its first thousand requests.
//
// The test command runs 6,000 requests; ORVO_SOAK_REQUESTS=100000 runs the full soak.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "FastCgiWorker.h"
#include "TestSupport.h"

namespace orvo {
namespace {

using test::Environment;
using test::FormBody;

constexpr int kDefaultRequests = 6000;
constexpr int kWarmUp = 1000;
constexpr long kMemorySlackKiB = 1024;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // its allocator keeps freed memory aside on purpose
#else
constexpr bool kSanitized = false;
#endif

struct Request {
  std::string method, path, body;
};

const char kBatchXml[] = "D:\\Lotes\\VESTRA\\PED001813720240815093012000001523903.xml";
const char kBatchFile[] = "d/Lotes/VESTRA/PED001813720240815093012000001523903.xml";

// One round of every endpoint, each path a handler can take; the marker swap alternates, so
// rounds come in pairs that leave the files as they found them (with the verified batch
// removed by the test).
std::vector<Request> Round(int round) {
  const std::string batch =
      "tag=PED001&representante=8137&coddh=20240815093012000&totallote=00152390";
  const std::string login = "&u=tecnico&p=segredo";
  const char* marker = round % 2 == 0 ? "TF" : "TM";
  return {
      {"POST", "/uploadxml", batch + "&xmldata=%3Clote%3Esoak%3C%2Flote%3E"},
      {"POST", "/xmlverify", batch},
      {"POST", "/lerxml", FormBody({{"arq", kBatchXml}})},
      {"POST", "/listaarquivos", "loja=0042&filtro=*.xml"},
      {"POST", "/importarxml",
       FormBody({{"arquivoxml", std::string("D:\\Lotes\\0042\\NF_") + marker + "01.xml"}})},
      {"POST", "/imagens", "data=15%2F01%2F2024"},
      {"POST", "/listamanuais", login.substr(1)},
      {"POST", "/lermanuais", FormBody({{"arq", "C:\\Manuais\\bin\\tabela.bin"}}) + login},
      {"POST", "/lerxml", FormBody({{"arq", "C:\\Texto\\falta.txt"}})},
      {"POST", "/nada", batch},
      {"GET", "/imagens", ""},
      {"POST", "/listaarquivos", "loja=NOVA&filtro=*.*"},
  };
}

Environment Params(const Request& request) {
  return {{"REQUEST_METHOD", request.method},
          {"SERVER_PROTOCOL", "HTTP/1.1"},
          {"PATH_INFO", request.path},
          {"CONTENT_LENGTH", std::to_string(request.body.size())}};
}

// A data root with the files every round touches.
class SoakRoot {
 public:
  SoakRoot() {
    Put("c/Orvo/Orvo.Net/Config/Orvo.Config",
        "[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Lotes\r\n[Orvo.Mobile.0042]\r\nPathXML=D:\\Lotes\r\n"
        "[Orvo.FrameWork]\r\nPathImagens=C:\\Img\r\nPathManuais=C:\\Manuais\r\n"
        "DBSuporte=localhost:/srv/suporte.fdb\r\n");
    for (const char* name : {"d/Lotes/0042/a.xml", "d/Lotes/0042/b.dwl", "d/Lotes/0042/Sub/c.xml",
                             "d/Lotes/0042/NF_TF01.xml", "c/Manuais/guia.txt"}) {
      Put(name, name);
    }
    Put("c/Texto/linhas.txt", "um\ndois");
    std::string manual(20000, '\0');
    for (size_t i = 0; i < manual.size(); ++i) manual[i] = static_cast<char>(i * 7 % 256);
    Put("c/Manuais/bin/tabela.bin", manual);
    Put("c/Img/novo.png", "png");
    const timeval stamp{1705190400, 0};  // 2024-01-14 00:00 UTC
    const timeval times[2] = {stamp, stamp};
    utimes(Disk("c/Img/novo.png").c_str(), times);
  }

  std::string Disk(const std::string& relative) const { return dir_.path() + "/" + relative; }
  Environment Deployment() const {
    return {{"ORVO_ROOT", dir_.path()},
            {"LANG", "pt_BR.UTF-8"},
            {"TZ", "UTC"},
            {"ORVO_CLIENT_LIBRARY", ORVO_FBSTUB},
            {"FBSTUB_LOG", Disk("calls")}};
  }
  // Ends a round: the verified batch goes, so the next upload is verified again.
  void EndRound() const { std::remove(Disk(kBatchFile).c_str()); }
  // The lines of the stand-in library's log that start with `call`.
  int Calls(const std::string& call) const {
    std::ifstream log(Disk("calls"));
    int count = 0;
    for (std::string line; std::getline(log, line);) count += line.rfind(call + " ", 0) == 0;
    return count;
  }

 private:
  void Put(const std::string& relative, const std::string& bytes) {
    test::WriteHostFile(Disk(relative), bytes);
  }
  test::TempDir dir_;
};

struct Usage {
  long peakKiB = 0;
  int handles = 0;
};

int HandlesOf(pid_t pid) {
  int handles = 0;
  if (DIR* fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* entry = readdir(fds)) handles += entry->d_name[0] != '.';
    closedir(fds);
  }
  return handles;
}

// The worker closes the last request's connection just after its answer: the fewest handles
// seen over a few milliseconds are the ones it keeps.
Usage UsageOf(pid_t pid) {
  Usage usage;
  usage.handles = HandlesOf(pid);
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    usage.handles = std::min(usage.handles, HandlesOf(pid));
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) usage.peakKiB = std::stol(line.substr(6));
  }
  return usage;
}

int RequestCount() {
  const char* text = std::getenv("ORVO_SOAK_REQUESTS");
  return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : kDefaultRequests;
}

// The operator's log without the local times that begin its lines: the answers to compare were
// made earlier.
std::string WithoutTimes(const std::string& log) {
  std::string result;
  for (size_t at = 0; at < log.size();) {
    size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size() - 1;
    result += log.substr(std::min(at + 19, end), end + 1 - std::min(at + 19, end));
    at = end + 1;
  }
  return result;
}

TEST(FastCgiSoakTest, OneWorkerAnswersAsCgiWithoutGrowing) {
  unsetenv("ORVO_TEST_FRONT");  // the reference answers come from CGI processes

  // The reference: two rounds, each request a CGI process of its own.
  SoakRoot cgiRoot;
  std::vector<std::vector<test::ProgramResult>> expected(2);
  for (int round = 0; round < 2; ++round) {
    for (const Request& request : Round(round)) {
      Environment environment = cgiRoot.Deployment();
      Environment params = Params(request);
      environment.insert(params.begin(), params.end());
      expected[round].push_back(test::RunProgram(ORVO_PROGRAM, environment, request.body));
    }
    cgiRoot.EndRound();
  }
  ASSERT_EQ(expected[0][1].out.substr(expected[0][1].out.find("\r\n\r\n") + 4),
            "Total do Lote: 1.523,90");

  SoakRoot root;
  test::FastCgiWorker worker(ORVO_PROGRAM, root.Deployment());
  const int total = RequestCount();
  Usage warm;
  int sent = 0, manualsLogins = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; sent < total; ++round) {
    const std::vector<Request> requests = Round(round);
    for (size_t i = 0; i < requests.size() && sent < total; ++i, ++sent) {
      if (sent == kWarmUp) warm = UsageOf(worker.pid());
      test::ProgramResult answer = worker.Request(Params(requests[i]), requests[i].body);
      const test::ProgramResult& cgi = expected[round % 2][i];
      ASSERT_TRUE(answer.out == cgi.out && WithoutTimes(answer.err) == WithoutTimes(cgi.err) &&
                  answer.status == cgi.status)
          << "request " << sent << " (" << requests[i].path << ") answered\n"
          << answer.out.substr(0, 300) << "\ninstead of\n"
          << cgi.out.substr(0, 300) << "\nstandard error: " << answer.err;
      manualsLogins += requests[i].path.find("manuais") != std::string::npos;
    }
    root.EndRound();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const Usage end = UsageOf(worker.pid());
  std::printf(
      "%d requests in %.1f s (%.0f per second); peak memory %ld KiB after %d, %ld KiB "
      "at the end; %d open handles after %d, %d at the end\n",
      total, seconds, total / seconds, warm.peakKiB, kWarmUp, end.peakKiB, warm.handles, kWarmUp,
      end.handles);

  EXPECT_EQ(end.handles, warm.handles);
  if (!kSanitized) {
    EXPECT_LE(end.peakKiB - warm.peakKiB, kMemorySlackKiB);
  }
  // Every login attached once and detached before its request ended.
  EXPECT_EQ(root.Calls("attach"), manualsLogins);
  EXPECT_EQ(root.Calls("detach"), manualsLogins);
  EXPECT_TRUE(worker.Running());
  EXPECT_EQ(worker.Stop(), 0);
  EXPECT_EQ(worker.Complaints(), "");
}

}  // namespace
}  // namespace orvo
