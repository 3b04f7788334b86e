// The FastCGI front of the tests: a worker process and a client that speaks just enough of the
// protocol (one responder request per connection) to send a CGI environment and body and to
// collect the answer.
#include "FastCgiWorker.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace orvo::test {
namespace {

enum RecordType : uint8_t {
  kBeginRequest = 1,
  kEndRequest = 3,
  kParams = 4,
  kStdin = 5,
  kStdout = 6,
  kStderr = 7
};
constexpr size_t kMaxRecord = 65535;
constexpr uint8_t kResponder = 1;

void AppendRecord(std::string& message, RecordType type, std::string_view content) {
  const char header[8] = {1,
                          static_cast<char>(type),
                          0,
                          1,  // request id 1
                          static_cast<char>(content.size() >> 8),
                          static_cast<char>(content.size() & 0xFF),
                          0,
                          0};
  message.append(header, sizeof header);
  message.append(content);
}

// A stream's bytes in records, then the empty record that ends it.
void AppendStream(std::string& message, RecordType type, std::string_view bytes) {
  for (size_t at = 0; at < bytes.size(); at += kMaxRecord) {
    AppendRecord(message, type, bytes.substr(at, kMaxRecord));
  }
  AppendRecord(message, type, {});
}

void AppendLength(std::string& pairs, size_t length) {
  if (length < 128) {
    pairs += static_cast<char>(length);
    return;
  }
  for (int shift : {24, 16, 8, 0}) {
    auto byte = static_cast<unsigned char>(length >> shift);
    pairs += static_cast<char>(shift == 24 ? byte | 0x80 : byte);
  }
}

}  // namespace

std::string FastCgiRequestBytes(const Environment& params, const std::string& body, int role,
                                bool keep) {
  std::string message;
  const char begin[8] = {0, static_cast<char>(role), static_cast<char>(keep ? 1 : 0), 0, 0, 0, 0,
                         0};
  AppendRecord(message, kBeginRequest, std::string_view(begin, sizeof begin));
  std::string pairs;
  for (const auto& [name, value] : params) {
    AppendLength(pairs, name.size());
    AppendLength(pairs, value.size());
    pairs += name + value;
  }
  AppendStream(message, kParams, pairs);
  AppendStream(message, kStdin, body);
  return message;
}

namespace {

// Takes the complete records off the front of `received`; true once the request has ended.
bool TakeRecords(std::string& received, ProgramResult& result, int* protocolStatus = nullptr) {
  size_t at = 0;
  bool ended = false;
  while (!ended && received.size() - at >= 8) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(received[at + i]); };
    size_t length = byte(4) << 8 | byte(5);
    size_t total = 8 + length + byte(6);
    if (received.size() - at < total) break;
    std::string_view content(received.data() + at + 8, length);
    if (byte(1) == kStdout) result.out.append(content);
    if (byte(1) == kStderr) result.err.append(content);
    if (byte(1) == kEndRequest && length >= 4) {
      result.status = byte(8) << 24 | byte(9) << 16 | byte(10) << 8 | byte(11);
      if (protocolStatus != nullptr && length >= 5) *protocolStatus = byte(12);
      ended = true;
    }
    at += total;
  }
  received.erase(0, at);
  return ended;
}

}  // namespace

int ConnectToWorker(const std::string& address, const std::string& from) {
  int fd = -1;
  bool connected = false;
  if (address.rfind('/', 0) == 0) {  // a socket's path
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    if (address.size() >= sizeof local.sun_path) throw std::runtime_error("socket path too long");
    std::memcpy(local.sun_path, address.c_str(), address.size() + 1);
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connected = connect(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  } else {  // "host:port"
    const size_t colon = address.rfind(':');
    addrinfo hints{}, *target = nullptr, *source = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(address.substr(0, colon).c_str(), address.substr(colon + 1).c_str(), &hints,
                    &target) != 0) {
      throw std::runtime_error("no address " + address);
    }
    fd = socket(target->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connected = (from.empty() || (getaddrinfo(from.c_str(), "0", &hints, &source) == 0 &&
                                  bind(fd, source->ai_addr, source->ai_addrlen) == 0)) &&
                connect(fd, target->ai_addr, target->ai_addrlen) == 0;
    freeaddrinfo(target);
    if (source != nullptr) freeaddrinfo(source);
  }
  if (connected) return fd;
  close(fd);
  return -1;
}

ProgramResult ReadFastCgiAnswer(int fd, int seconds, int* protocolStatus) {
  ProgramResult result;
  std::string received;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[65536];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) {
      result.status = -2;  // closed
      return result;
    }
    received.append(buffer, static_cast<size_t>(n));
    if (TakeRecords(received, result, protocolStatus)) return result;
  }
  result.status = -1;
  return result;
}

namespace {

// The request's own CGI variables; everything else in a test's environment is the worker's.
bool IsRequestVariable(const std::string& name) {
  static const std::set<std::string> kCgiVariables = {
      "AUTH_TYPE",       "CONTENT_LENGTH",  "CONTENT_TYPE", "GATEWAY_INTERFACE", "PATH_INFO",
      "PATH_TRANSLATED", "QUERY_STRING",    "REMOTE_ADDR",  "REMOTE_HOST",       "REMOTE_IDENT",
      "REMOTE_USER",     "REQUEST_METHOD",  "SCRIPT_NAME",  "SERVER_NAME",       "SERVER_PORT",
      "SERVER_PROTOCOL", "SERVER_SOFTWARE", "URL"};
  return name.compare(0, 5, "HTTP_") == 0 || kCgiVariables.count(name) > 0;
}

// The worker that RunProgram keeps between requests, replaced when a request needs another
// program or another worker environment.
struct SharedWorker {
  std::mutex mutex;
  std::string program;
  Environment environment;
  std::unique_ptr<FastCgiWorker> worker;

  // Stops the worker; one that had ended or complained on its own fails the running test.
  void Retire() {
    if (worker == nullptr) return;
    bool wasRunning = worker->Running();
    int status = worker->Stop();
    std::string log = worker->Complaints();
    if (!wasRunning || status != 0 || !log.empty()) {
      ADD_FAILURE() << "the FastCGI worker of " << program
                    << (wasRunning ? " stopped" : " had ended") << " with status " << status
                    << "; its log: " << log;
    }
    worker.reset();
  }
};

SharedWorker& Shared() {
  static auto* shared = new SharedWorker;
  return *shared;
}

// Stops the last worker when the test program ends, still able to report what it left.
class RetireWorkerAtEnd : public ::testing::Environment {
 public:
  void TearDown() override {
    std::lock_guard lock(Shared().mutex);
    Shared().Retire();
  }
};
::testing::Environment* const retireAtEnd =
    ::testing::AddGlobalTestEnvironment(new RetireWorkerAtEnd);

}  // namespace

std::set<pid_t> ChildrenOf(pid_t parent) {
  std::set<pid_t> children;
  DIR* proc = opendir("/proc");
  while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
    pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
    std::string line;
    if (pid <= 0 || !std::getline(stat, line)) continue;
    // pid (name) state ppid ...: the name may hold blanks, the last ')' ends it.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string state;
    pid_t ppid = 0;
    if (rest >> state >> ppid && ppid == parent && state != "Z") children.insert(pid);
  }
  if (proc != nullptr) closedir(proc);
  return children;
}

std::string TestFront() {
  const char* front = std::getenv("ORVO_TEST_FRONT");
  return front != nullptr && *front != '\0' ? front : "cgi";
}

Environment WorkerEnvironment(const Environment& environment) {
  Environment worker;
  for (const auto& [name, value] : environment) {
    if (!IsRequestVariable(name)) worker.emplace(name, value);
  }
  return worker;
}

FastCgiWorker::FastCgiWorker(const std::string& program, const Environment& environment,
                             std::vector<std::string> args)
    : socket_(dir_.path() + "/worker.sock") {
  if (args.empty()) args = {"--fastcgi", socket_};
  auto address = std::find(args.begin(), args.end(), "--fastcgi");
  if (address != args.end() && address + 1 != args.end()) socket_ = address[1];
  const std::string log = dir_.path() + "/worker.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);

  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> entries;
  for (const auto& [name, value] : environment) entries.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + program + ": " + strerror(spawned));

  // Ready once the socket takes connections (a sanitizer build starts slowly).
  for (int tries = 0; tries < 3000; ++tries) {
    int fd = ConnectToWorker(socket_);
    if (fd >= 0) {
      close(fd);
      return;
    }
    if (!Running()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Stop(SIGKILL);
  throw std::runtime_error("the FastCGI worker " + program + " did not start: " + Log());
}

FastCgiWorker::~FastCgiWorker() {
  if (status_ < 0) Stop(SIGKILL);
}

bool FastCgiWorker::Running() {
  if (status_ >= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return false;
}

int FastCgiWorker::Stop(int signal) {
  if (!Running()) return status_;
  kill(pid_, signal);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

std::string FastCgiWorker::Log() const {
  std::string path = dir_.path() + "/worker.log";
  return HostPathExists(path) ? ReadHostFile(path) : "";
}

std::string FastCgiWorker::Complaints() const {
  // What the pool tells its operator in ordinary work (a slow request is a slow login here; the
  // tests' shares are folders of the test's root, not mounts).
  static const char* const kRoutine[] = {"]: started ",       "]: stopping (",
                                         "]: stopped: ",      "]: reloading (",
                                         "]: slow request: ", " holds no mounted volume: "};
  std::string complaints, log = Log();
  for (size_t at = 0, end; at < log.size(); at = end + 1) {
    end = std::min(log.find('\n', at), log.size());
    std::string line = log.substr(at, end - at);
    bool routine = false;
    for (const char* mark : kRoutine) routine = routine || line.find(mark) != std::string::npos;
    if (!routine) complaints += line + "\n";
  }
  return complaints;
}

ProgramResult FastCgiWorker::Request(const Environment& params, const std::string& body,
                                     const std::function<void()>& midway) const {
  ProgramResult result;
  int fd = ConnectToWorker(socket_);
  if (fd < 0) {
    result.err = "cannot connect to the worker: " + std::string(strerror(errno));
    return result;
  }
  fcntl(fd, F_SETFL, O_NONBLOCK);
  const std::string message = FastCgiRequestBytes(params, body);
  std::string received;
  size_t sent = 0;
  bool ended = false;
  bool waitsMidway = static_cast<bool>(midway);
  // Send while reading, as a web server does: the worker may answer before it read everything.
  while (!ended) {
    pollfd p{fd, static_cast<short>(POLLIN | (sent < message.size() ? POLLOUT : 0)), 0};
    if (poll(&p, 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p.revents & POLLOUT) {
      // Sent in halves when someone waits for the middle.
      size_t stop = waitsMidway && sent < message.size() / 2 ? message.size() / 2 : message.size();
      ssize_t n = send(fd, message.data() + sent, stop - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
      if (waitsMidway && sent == message.size() / 2) {
        waitsMidway = false;
        midway();
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) sent = message.size();  // it stopped reading
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[65536];
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) break;
      received.append(buffer, static_cast<size_t>(n));
      ended = TakeRecords(received, result);
    }
  }
  close(fd);
  if (!ended) result.status = -1;
  return result;
}

ProgramResult RunThroughFastCgi(const std::string& path, const Environment& environment,
                                const std::string& input) {
  SharedWorker& shared = Shared();
  std::lock_guard lock(shared.mutex);
  Environment workerEnvironment = WorkerEnvironment(environment);
  if (shared.worker != nullptr &&
      (shared.program != path || shared.environment != workerEnvironment ||
       !shared.worker->Running())) {
    shared.Retire();
  }
  if (shared.worker == nullptr) {
    shared.worker = std::make_unique<FastCgiWorker>(path, workerEnvironment);
    shared.program = path;
    shared.environment = workerEnvironment;
  }
  return shared.worker->Request(environment, input);
}

}  // namespace orvo::test
