#include <curl/curl.h>

#include <memory>

#include "db/http/HTTPClient.h"
#include "host/Host.h"

namespace orvo {
namespace {

// libcurl is loaded on the first exchange only: linked, it would cost every request its load
// and start-up, and the program never selects the multi-tier login.
struct CurlApi {
  std::unique_ptr<DynamicLibrary> library;
  decltype(&curl_global_init) global_init = nullptr;
  decltype(&curl_easy_init) easy_init = nullptr;
  decltype(&curl_easy_setopt) easy_setopt = nullptr;
  decltype(&curl_easy_perform) easy_perform = nullptr;
  decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&curl_easy_strerror) easy_strerror = nullptr;
  decltype(&curl_slist_append) slist_append = nullptr;
  decltype(&curl_slist_free_all) slist_free_all = nullptr;
};

const char kCurlLibrary[] = "libcurl.so.4";

template <typename F>
void Bind(DynamicLibrary& library, const char* name, F* function) {
  WinError error = kErrorSuccess;
  *function = reinterpret_cast<F>(library.Symbol(name, &error));
  if (*function == nullptr) throw EHTTPError(std::string("HTTP client without ") + name, 0);
}

CurlApi LoadCurl() {
  CurlApi api;
  if (Host::Default().OpenLibrary(kCurlLibrary, &api.library) != kErrorSuccess) {
    throw EHTTPError(std::string("Cannot load the HTTP client ") + kCurlLibrary, 0);
  }
  DynamicLibrary& library = *api.library;
  Bind(library, "curl_global_init", &api.global_init);
  Bind(library, "curl_easy_init", &api.easy_init);
  Bind(library, "curl_easy_setopt", &api.easy_setopt);
  Bind(library, "curl_easy_perform", &api.easy_perform);
  Bind(library, "curl_easy_getinfo", &api.easy_getinfo);
  Bind(library, "curl_easy_cleanup", &api.easy_cleanup);
  Bind(library, "curl_easy_strerror", &api.easy_strerror);
  Bind(library, "curl_slist_append", &api.slist_append);
  Bind(library, "curl_slist_free_all", &api.slist_free_all);
  if (api.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    throw EHTTPError("Cannot start the HTTP client", 0);
  }
  return api;
}

// Loaded once per process; a failed load is tried again by the next exchange.
const CurlApi& Curl() {
  static std::unique_ptr<CurlApi> api;
  if (api == nullptr) api = std::make_unique<CurlApi>(LoadCurl());
  return *api;
}

struct CurlDeleter {
  void operator()(CURL* curl) const { Curl().easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { Curl().slist_free_all(list); }
};

size_t AppendBody(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

// Keeps the first header line, the status line, for the error message.
size_t KeepStatusLine(char* data, size_t size, size_t count, void* target) {
  auto* line = static_cast<std::string*>(target);
  std::string header(data, size * count);
  if (header.rfind("HTTP/", 0) == 0) {
    while (!header.empty() && (header.back() == '\r' || header.back() == '\n')) header.pop_back();
    *line = header;
  }
  return size * count;
}

void Check(CURLcode code) {
  if (code != CURLE_OK) throw EHTTPError(Curl().easy_strerror(code), 0);
}

}  // namespace

std::string PostForm(const std::string& url, const std::string& body) {
  const CurlApi& api = Curl();
  std::unique_ptr<CURL, CurlDeleter> curl(api.easy_init());
  if (curl == nullptr) throw EHTTPError("Cannot create the HTTP client", 0);
  std::unique_ptr<curl_slist, SlistDeleter> headers(
      api.slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded"));

  std::string answer;
  std::string statusLine;
  CURL* c = curl.get();
  Check(api.easy_setopt(c, CURLOPT_URL, url.c_str()));
  Check(api.easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http"));
  Check(api.easy_setopt(c, CURLOPT_PROXY, ""));  // no proxy, whatever the environment says
  Check(api.easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0));
  Check(api.easy_setopt(c, CURLOPT_POST, 1L));
  Check(api.easy_setopt(c, CURLOPT_POSTFIELDS, body.data()));
  Check(api.easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())));
  Check(api.easy_setopt(c, CURLOPT_HTTPHEADER, headers.get()));
  Check(api.easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L));
  Check(api.easy_setopt(c, CURLOPT_NOSIGNAL, 1L));
  Check(api.easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L));
  Check(api.easy_setopt(c, CURLOPT_TIMEOUT, 120L));
  Check(api.easy_setopt(c, CURLOPT_WRITEFUNCTION, AppendBody));
  Check(api.easy_setopt(c, CURLOPT_WRITEDATA, &answer));
  Check(api.easy_setopt(c, CURLOPT_HEADERFUNCTION, KeepStatusLine));
  Check(api.easy_setopt(c, CURLOPT_HEADERDATA, &statusLine));
  Check(api.easy_perform(c));

  long status = 0;
  Check(api.easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status));
  if (status < 200 || status > 299) {
    throw EHTTPError(statusLine.empty() ? "HTTP status " + std::to_string(status) : statusLine,
                     static_cast<int32_t>(status));
  }
  return answer;
}

}  // namespace orvo
