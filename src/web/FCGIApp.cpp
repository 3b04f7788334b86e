#include "web/FCGIApp.h"

#include <algorithm>
#include <new>
#include <optional>

#include "common/SysUtilsConvert.h"
#include "common/SysUtilsText.h"
#include "host/HostWrapper.h"
#include "host/SharedStore.h"
#include "web/CGIApp.h"
#include "web/RequestBody.h"
#include "web/RequestDeadline.h"

namespace orvo {
namespace {

constexpr int kMaxWorkers = 256;

constexpr char kUsage[] =
    "usage: OrvoWebServerUploadXML\n"
    "         serves one CGI request (as a web server starts it)\n"
    "       OrvoWebServerUploadXML --fastcgi ADDRESS [--workers N]\n"
    "         serves FastCGI on ADDRESS (a Unix socket path or 127.0.0.1:PORT) with N worker\n"
    "         processes (default 1); started by a FastCGI process manager, with a listening\n"
    "         socket on standard input, it serves FastCGI there without arguments\n";

void Say(const std::string& text) {
  std::string line = "OrvoWebServerUploadXML: " + text + "\n";
  Host::Default().WriteStderr(line.data(), line.size());
}

TFrontChoice Usage(const std::string& error) {
  TFrontChoice choice;
  choice.Kind = TFrontChoice::fkUsage;
  choice.Error = error;
  return choice;
}

std::optional<int> WorkerCount(const std::string& text) {
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != text.npos) {
    return std::nullopt;
  }
  int count = std::stoi(text);
  if (count < 1 || count > kMaxWorkers) return std::nullopt;
  return count;
}

// Deployment settings belong to the worker, however the server configures the requests.
bool IsWorkerSetting(const std::string& name) { return name.compare(0, 5, "ORVO_") == 0; }

// The host of one request: its CGI channels are the request's, everything else is the worker's.
class TFCGIRequestHost : public HostWrapper {
 public:
  TFCGIRequestHost(Host* worker, FastCgiRequest& request)
      : HostWrapper(worker), request_(request) {}

  std::optional<std::string> GetEnvironment(const std::string& name) override {
    if (IsWorkerSetting(name)) return HostWrapper::GetEnvironment(name);
    return request_.Param(name);
  }
  int64_t ReadStdin(void* buffer, size_t count) override { return request_.Read(buffer, count); }
  bool TakeStdin(std::string* bytes) override { return request_.TakeBody(bytes); }
  void WriteStdout(const void* buffer, size_t count) override { request_.Write(buffer, count); }
  void WriteStderr(const void* buffer, size_t count) override {
    request_.WriteError(buffer, count);
  }
  // The web server keeps a request's error stream in its error log, as it does a CGI program's
  // standard error.
  void WriteOperatorLog(const std::string& line) override {
    const std::string text = line + "\n";
    request_.WriteError(text.data(), text.size());
  }

 private:
  FastCgiRequest& request_;
};

// Makes a request's host the default host for the guard's lifetime. Its deadline is called off
// before the previous host comes back, so no other thread acts for the request by then.
class TRequestHostGuard {
 public:
  explicit TRequestHostGuard(TRequestDeadlineHost& host)
      : host_(host), previous_(&Host::Default()) {
    Host::SetDefault(&host);
  }
  ~TRequestHostGuard() {
    host_.Stop();
    Host::SetDefault(previous_);
  }
  TRequestHostGuard(const TRequestHostGuard&) = delete;
  TRequestHostGuard& operator=(const TRequestHostGuard&) = delete;

 private:
  TRequestDeadlineHost& host_;
  Host* previous_;
};

// What a request may change in the process and the next request must not see.
class TWorkerState {
 public:
  explicit TWorkerState(Host& worker)
      : worker_(worker), folder_(worker.GetCurrentFolder()), locale_(LocaleFormats) {}
  void Restore() {
    LocaleFormats = locale_;
    if (worker_.GetCurrentFolder() != folder_) worker_.SetCurrentFolder(folder_);
  }

 private:
  Host& worker_;
  std::string folder_;
  TLocaleFormats locale_;
};

// Set once an allocation has failed: the worker finishes that request and ends, since a heap
// that ran dry once (or a library that failed inside) is no ground for the next request.
bool allocationFailed = false;

void OnAllocationFailure() {
  allocationFailed = true;
  throw std::bad_alloc();
}

// A worker that overstays a request's deadline ends with this status; its pool starts another.
constexpr int kOverstayedWorker = 3;

// The variable of the request's method and path, for the deadline's log line.
std::string RequestVariable(Host& host, const char* name) {
  return host.GetEnvironment(name).value_or("");
}

// One request through the CGI request cycle, with everything made for it alone.
void ServeRequest(FastCgiRequest& request, Host& worker, const TWebModuleClass& moduleClass,
                  const TRequestHostWrapper& wrap, int timeoutSeconds) {
  TFCGIRequestHost requestHost(&worker, request);
  std::unique_ptr<Host> wrapped = wrap ? wrap(&requestHost) : nullptr;
  TRequestDeadlineHost deadlineHost(wrapped ? wrapped.get() : &requestHost);
  TRequestHostGuard installed(deadlineHost);
  deadlineHost.Start(
      timeoutSeconds, kOverstayedWorker, RequestVariable(deadlineHost, "REQUEST_METHOD"),
      RequestVariable(deadlineHost, "PATH_INFO"), [&request] { request.CompleteBeforeEnd(); });
  // The deadline is for the answer: the time a body took to arrive does not count.
  request.OnBodyArrival([&deadlineHost] { deadlineHost.Restart(); });
  // Destroyed before the host goes back: the module and its attachment end inside the request.
  TCGIApplication application;
  application.Initialize();
  application.RegisterModuleClass(moduleClass);
  application.Run();
}

#ifdef ORVO_FASTCGI
// A whole-number setting of the worker (digits only); `fallback` when unset or not a number.
uint64_t CountSetting(Host& host, const std::string& name, uint64_t fallback) {
  return DigitsValue(host.GetEnvironment(name).value_or(""), 15).value_or(fallback);
}

#endif

int ServeCgi(const TWebModuleClass& moduleClass, const TRequestHostWrapper& wrap) {
  Host& process = Host::Default();
  std::unique_ptr<Host> wrapped = wrap ? wrap(&process) : nullptr;
  // Lives to the end of the process, as the host: the answer may go out as the program ends.
  static TRequestDeadlineHost deadlineHost(wrapped ? wrapped.release() : &process);
  TRequestHostGuard installed(deadlineHost);
  deadlineHost.Start(RequestTimeoutSeconds(process), 0, RequestVariable(process, "REQUEST_METHOD"),
                     RequestVariable(process, "PATH_INFO"));
  Application->Initialize();
  Application->RegisterModuleClass(moduleClass);
  Application->Run();
  return 0;
}

}  // namespace

TFrontChoice ChooseFront(const std::vector<std::string>& args, bool startedAsCgi,
                         bool startedByManager) {
  TFrontChoice choice;
  if (startedAsCgi) return choice;
  bool listen = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (i + 1 == args.size())
      return Usage(arg == "--fastcgi" || arg == "--workers" ? arg + " needs a value"
                                                            : "unknown argument " + arg);
    const std::string& value = args[++i];
    if (arg == "--fastcgi") {
      if (value.empty()) return Usage("--fastcgi needs an address");
      choice.Address = value;
      listen = true;
    } else if (arg == "--workers") {
      std::optional<int> count = WorkerCount(value);
      if (!count) return Usage("--workers takes a number from 1 to 256, not " + value);
      choice.Workers = *count;
    } else {
      return Usage("unknown argument " + arg);
    }
  }
  if (listen || startedByManager) {
    choice.Kind = TFrontChoice::fkFastCGI;
  } else if (!args.empty()) {
    return Usage("--workers applies to FastCGI only");
  }
  return choice;
}

int ServeFastCgi(FastCgiListener& listener, const TWebModuleClass& moduleClass,
                 const TRequestHostWrapper& wrap) {
  Host& worker = Host::Default();
  const int timeoutSeconds = RequestTimeoutSeconds(worker);
  TWorkerState start(worker);
  allocationFailed = false;
  std::new_handler previous = std::set_new_handler(OnAllocationFailure);
  while (!allocationFailed) {
    try {
      std::unique_ptr<FastCgiRequest> request = listener.Accept();
      if (request == nullptr) break;
      ServeRequest(*request, worker, moduleClass, wrap, timeoutSeconds);
    } catch (const std::bad_alloc&) {
      allocationFailed = true;
    } catch (...) {
      // The request cycle answers its own failures; this one came from around it.
      Say("a request ended without an answer");
    }
    start.Restore();
  }
  std::set_new_handler(previous);
  if (!allocationFailed) return 0;
  Say("out of memory: this worker ends so that its manager starts a fresh one");
  return 1;
}

int RunFront(const std::vector<std::string>& args, const TWebModuleClass& moduleClass,
             const TRequestHostWrapper& wrap) {
  bool startedAsCgi = Host::Default().GetEnvironment("GATEWAY_INTERFACE").has_value();
  bool startedByManager = false;
#ifdef ORVO_FASTCGI
  if (!startedAsCgi) startedByManager = StartedByFastCgiManager();
#endif
  TFrontChoice choice = ChooseFront(args, startedAsCgi, startedByManager);
  if (choice.Kind == TFrontChoice::fkCGI) return ServeCgi(moduleClass, wrap);
  if (choice.Kind == TFrontChoice::fkUsage) {
    Say(choice.Error + "\n" + kUsage);
    return 2;
  }
#ifdef ORVO_FASTCGI
  Host& process = Host::Default();
  FastCgiLimits limits;
  limits.idleSeconds = SecondsSetting(process, "ORVO_IDLE_TIMEOUT", limits.idleSeconds);
  limits.slowSeconds = SecondsSetting(process, "ORVO_SLOW_REQUEST", limits.slowSeconds);
  if (limits.idleSeconds == 0) limits.idleSeconds = 24 * 3600;  // "off": a day
  limits.maxConnections = static_cast<int>(std::clamp<uint64_t>(
      CountSetting(process, "ORVO_MAX_CONNECTIONS", limits.maxConnections), 1, 1 << 20));
  limits.maxWaitingBytes = CountSetting(process, "ORVO_WAITING_BYTES", limits.maxWaitingBytes);
  // The request cycle's own rule: no more body is kept than it will read.
  limits.bodyRule = [maxBody = MaxBodySetting(process)](const fastcgi::Params& params) {
    const int32_t declared = DeclaredBodyLength([&params](const std::string& name) {
      auto found = params.find(name);
      return found == params.end() ? std::string() : found->second;
    });
    return static_cast<size_t>(BodyBytesToRead(declared, maxBody));
  };
  std::string error;
  std::unique_ptr<FastCgiListener> listener = OpenFastCgiListener(choice.Address, limits, &error);
  if (listener == nullptr) {
    Say(error);
    return 1;
  }
  // Where the batches lie on a volume that other front ends share, the operator learns so here.
  for (const std::string& note : SharedStoreNotes()) Say(note);
  auto serve = [&] { return ServeFastCgi(*listener, moduleClass, wrap); };
  // A socket of its own is always served by a pool, which replaces a worker that a deadline
  // ended; on a process manager's socket that manager replaces it.
  const bool ownSocket = !choice.Address.empty();
  return ownSocket || choice.Workers > 1 ? RunWorkerPool(*listener, choice.Workers, serve)
                                         : serve();
#else
  Say("this build has no FastCGI front");
  return 2;
#endif
}

}  // namespace orvo
