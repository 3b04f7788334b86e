// A CGI program made for the tests of the front: a module whose actions exercise every path of
// the request cycle. Each write to standard output is logged to standard error as "write <n>".
//
// Environment besides the CGI variables:
//   PROBE_FAIL_CREATE=<message>  creating the module fails with that message
//   PROBE_DEFAULT=1              the disabled "/default-only" entry becomes the default entry
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/SysUtilsText.h"
#include "host/HostWrapper.h"
#include "web/FCGIApp.h"

namespace orvo {
namespace {

class LoggingHost : public HostWrapper {
 public:
  explicit LoggingHost(Host* requestHost) : HostWrapper(requestHost) {}
  void WriteStdout(const void* buffer, size_t count) override {
    std::string line = "write " + IntToStr(static_cast<int64_t>(count)) + "\n";
    WriteStderr(line.data(), line.size());
    HostWrapper::WriteStdout(buffer, count);
  }
};

// Bytes held in memory: 0, 1, ..., 250, 0, 1, ...
class PatternStream : public TStream {
 public:
  explicit PatternStream(int64_t size) : size_(size) {}
  int32_t Read(void* buffer, int32_t count) override {
    auto n = static_cast<int32_t>(std::min<int64_t>(count, size_ - position_));
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (int32_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>((position_ + i) % 251);
    position_ += n;
    return n;
  }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    int64_t base = origin == SeekOrigin::kBegin ? 0
                   : origin == SeekOrigin::kEnd ? size_
                                                : position_;
    position_ = std::clamp<int64_t>(base + offset, 0, size_);
    return position_;
  }
  int64_t Size() override { return size_; }

 private:
  int64_t size_;
  int64_t position_ = 0;
};

std::string Env(const std::string& name) {
  return Host::Default().GetEnvironment(name).value_or("");
}

class TProbeModule : public TWebModule {
 public:
  TProbeModule() {
    if (!Env("PROBE_FAIL_CREATE").empty()) throw EFOpenError(Env("PROBE_FAIL_CREATE"));
    Actions().Add("content", "/content",
                  [](TObject*, TWebRequest& request, TWebResponse& response, bool&) {
                    std::string text = request.ContentFields().Values("text");
                    response.SetContent(text.empty() ? "Erro" : text);
                  });
    Actions().Add("nothing", "/nothing", [](TObject*, TWebRequest&, TWebResponse&, bool&) {});
    Actions().Add("raise", "/raise",
                  [](TObject*, TWebRequest& request, TWebResponse& response, bool&) {
                    response.SetContent("Erro");
                    throw EConvertError(request.ContentFields().Values("message"));
                  });
    Actions().Add("nomem", "/nomem",
                  [](TObject*, TWebRequest&, TWebResponse&, bool&) { throw std::bad_alloc(); });
    Actions().Add("stream", "/stream", [](TObject*, TWebRequest&, TWebResponse& response, bool&) {
      response.SetContentType("application/octet-stream");
      response.SendResponse();
      PatternStream stream(20000);
      response.SendStream(stream);
    });
    Actions().Add("contentstream", "/contentstream",
                  [](TObject*, TWebRequest&, TWebResponse& response, bool&) {
                    response.SetContentStream(std::make_unique<PatternStream>(10000));
                  });
    Actions().Add("nothandled", "/nothandled",
                  [](TObject*, TWebRequest&, TWebResponse& response, bool& handled) {
                    response.SetContent("ignored");
                    handled = false;
                  });
    Actions().Add("fields", "/fields",
                  [](TObject*, TWebRequest& request, TWebResponse& response, bool&) {
                    std::string text;
                    try {
                      request.ContentFields();
                    } catch (const Exception& e) {
                      text = std::string(e.ClassName()) + ": " + e.Message() + "\r\n";
                    }
                    text += request.ContentFields().Text();
                    text += "received=" + IntToStr(static_cast<int64_t>(request.Content().size())) +
                            " held=" + IntToStr(static_cast<int64_t>(request.Content().capacity()));
                    response.SetContent(text);
                  });
    Actions().Add("wild", "/files/*.x[m]l",
                  [](TObject*, TWebRequest& request, TWebResponse& response, bool&) {
                    response.SetContent("wild:" + request.PathInfo());
                  });
    Actions().Add("sentraise", "/sentraise",
                  [](TObject*, TWebRequest&, TWebResponse& response, bool&) {
                    response.SetContent("partial");
                    response.SendResponse();
                    throw Exception("after send");
                  });
    TWebActionItem& fallback =
        Actions().Add("default", "/default-only",
                      [](TObject*, TWebRequest& request, TWebResponse& response, bool&) {
                        response.SetContent("default:" + request.PathInfo());
                      });
    fallback.SetEnabled(false);
    fallback.SetDefault(Env("PROBE_DEFAULT") == "1");
    // Only HEAD requests that nothing else took reach this mask, which does not compile.
    Actions().Add(
        "badmask", "/bad[", [](TObject*, TWebRequest&, TWebResponse&, bool&) {}, mtHead);
  }
};

}  // namespace
}  // namespace orvo

int main(int argc, char** argv) {
  using namespace orvo;
  // Served by the program's own fronts, so the probe runs as CGI or as a FastCGI worker.
  return RunFront(std::vector<std::string>(argv + 1, argv + argc),
                  ModuleClassOf<TProbeModule>("TProbeModule"),
                  [](Host* requestHost) { return std::make_unique<LoggingHost>(requestHost); });
}
