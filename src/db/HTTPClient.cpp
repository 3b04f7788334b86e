#include "db/HTTPClient.h"

#include <curl/curl.h>

#include <memory>

namespace orvo {
namespace {

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
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
  if (code != CURLE_OK) throw EHTTPError(curl_easy_strerror(code), 0);
}

}  // namespace

std::string PostForm(const std::string& url, const std::string& body) {
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
  Check(initialised);
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (curl == nullptr) throw EHTTPError("Cannot create the HTTP client", 0);
  std::unique_ptr<curl_slist, SlistDeleter> headers(
      curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded"));

  std::string answer;
  std::string statusLine;
  CURL* c = curl.get();
  Check(curl_easy_setopt(c, CURLOPT_URL, url.c_str()));
  Check(curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http"));
  Check(curl_easy_setopt(c, CURLOPT_PROXY, ""));  // no proxy, whatever the environment says
  Check(curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0));
  Check(curl_easy_setopt(c, CURLOPT_POST, 1L));
  Check(curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data()));
  Check(curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())));
  Check(curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get()));
  Check(curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L));
  Check(curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L));
  Check(curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L));
  Check(curl_easy_setopt(c, CURLOPT_TIMEOUT, 120L));
  Check(curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, AppendBody));
  Check(curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer));
  Check(curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, KeepStatusLine));
  Check(curl_easy_setopt(c, CURLOPT_HEADERDATA, &statusLine));
  Check(curl_easy_perform(c));

  long status = 0;
  Check(curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status));
  if (status < 200 || status > 299) {
    throw EHTTPError(statusLine.empty() ? "HTTP status " + std::to_string(status) : statusLine,
                     static_cast<int32_t>(status));
  }
  return answer;
}

}  // namespace orvo
