// The HTTP client on Windows: WinHTTP, part of the system. Like libcurl elsewhere it is loaded
// on the first exchange only, through the host, so this file declares the few WinHTTP entry
// points and constants it uses itself (as winhttp.h gives them) instead of including the
// system's headers.
#include <cctype>
#include <cstdint>
#include <memory>
#include <string>

#include "db/http/HTTPClient.h"
#include "host/Host.h"

// The system's calling convention; on 64-bit Windows there is only one.
#if defined(_WIN32) && !defined(_WIN64)
#define ORVO_WINAPI __stdcall
#else
#define ORVO_WINAPI
#endif

namespace orvo {
namespace {

using HINTERNET = void*;
using DWORD = uint32_t;
using BOOL = int;
using LPCWSTR = const wchar_t*;

constexpr DWORD kAccessTypeNoProxy = 1;              // WINHTTP_ACCESS_TYPE_NO_PROXY
constexpr DWORD kOptionDisableFeature = 63;          // WINHTTP_OPTION_DISABLE_FEATURE
constexpr DWORD kDisableRedirects = 0x2;             // WINHTTP_DISABLE_REDIRECTS
constexpr DWORD kQueryStatusCode = 19;               // WINHTTP_QUERY_STATUS_CODE
constexpr DWORD kQueryRawHeadersCrlf = 22;           // WINHTTP_QUERY_RAW_HEADERS_CRLF
constexpr DWORD kQueryFlagNumber = 0x20000000;       // WINHTTP_QUERY_FLAG_NUMBER
constexpr DWORD kErrorInsufficientBuffer = 122;      // ERROR_INSUFFICIENT_BUFFER
constexpr DWORD kHeadersNullTerminated = ~DWORD{0};  // (DWORD)-1L

struct WinHttpApi {
  std::unique_ptr<DynamicLibrary> library, kernel;
  HINTERNET(ORVO_WINAPI* Open)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) = nullptr;
  HINTERNET(ORVO_WINAPI* Connect)(HINTERNET, LPCWSTR, uint16_t, DWORD) = nullptr;
  HINTERNET(ORVO_WINAPI* OpenRequest)
  (HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD) = nullptr;
  BOOL(ORVO_WINAPI* SetOption)(HINTERNET, DWORD, void*, DWORD) = nullptr;
  BOOL(ORVO_WINAPI* SetTimeouts)(HINTERNET, int, int, int, int) = nullptr;
  BOOL(ORVO_WINAPI* SendRequest)
  (HINTERNET, LPCWSTR, DWORD, void*, DWORD, DWORD, uintptr_t) = nullptr;
  BOOL(ORVO_WINAPI* ReceiveResponse)(HINTERNET, void*) = nullptr;
  BOOL(ORVO_WINAPI* QueryHeaders)(HINTERNET, DWORD, LPCWSTR, void*, DWORD*, DWORD*) = nullptr;
  BOOL(ORVO_WINAPI* ReadData)(HINTERNET, void*, DWORD, DWORD*) = nullptr;
  BOOL(ORVO_WINAPI* CloseHandle)(HINTERNET) = nullptr;
  DWORD(ORVO_WINAPI* GetLastError)() = nullptr;
};

const char kWinHttpLibrary[] = "winhttp.dll";

template <typename F>
void Bind(DynamicLibrary& library, const char* name, F* function) {
  WinError error = kErrorSuccess;
  *function = reinterpret_cast<F>(library.Symbol(name, &error));
  if (*function == nullptr) throw EHTTPError(std::string("HTTP client without ") + name, 0);
}

WinHttpApi LoadWinHttp() {
  WinHttpApi api;
  if (Host::Default().OpenLibrary(kWinHttpLibrary, &api.library) != kErrorSuccess ||
      Host::Default().OpenLibrary("kernel32.dll", &api.kernel) != kErrorSuccess) {
    throw EHTTPError(std::string("Cannot load the HTTP client ") + kWinHttpLibrary, 0);
  }
  DynamicLibrary& library = *api.library;
  Bind(library, "WinHttpOpen", &api.Open);
  Bind(library, "WinHttpConnect", &api.Connect);
  Bind(library, "WinHttpOpenRequest", &api.OpenRequest);
  Bind(library, "WinHttpSetOption", &api.SetOption);
  Bind(library, "WinHttpSetTimeouts", &api.SetTimeouts);
  Bind(library, "WinHttpSendRequest", &api.SendRequest);
  Bind(library, "WinHttpReceiveResponse", &api.ReceiveResponse);
  Bind(library, "WinHttpQueryHeaders", &api.QueryHeaders);
  Bind(library, "WinHttpReadData", &api.ReadData);
  Bind(library, "WinHttpCloseHandle", &api.CloseHandle);
  Bind(*api.kernel, "GetLastError", &api.GetLastError);
  return api;
}

// Loaded once per process; a failed load is tried again by the next exchange.
const WinHttpApi& WinHttp() {
  static std::unique_ptr<WinHttpApi> api;
  if (api == nullptr) api = std::make_unique<WinHttpApi>(LoadWinHttp());
  return *api;
}

// A WinHTTP handle, closed when it goes.
class Handle {
 public:
  explicit Handle(HINTERNET handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr) WinHttp().CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_;
};

[[noreturn]] void Fail(const std::string& step) {
  throw EHTTPError(
      step + " failed (WinHTTP error " + std::to_string(WinHttp().GetLastError()) + ")", 0);
}

HINTERNET Checked(HINTERNET handle, const char* step) {
  if (handle == nullptr) Fail(step);
  return handle;
}

void Check(BOOL succeeded, const char* step) {
  if (!succeeded) Fail(step);
}

// Texts of URLs and headers are ASCII; each byte becomes one UTF-16 unit.
std::wstring Wide(const std::string& text) {
  std::wstring wide;
  for (unsigned char c : text) wide += static_cast<wchar_t>(c);
  return wide;
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) narrow += static_cast<char>(c < 256 ? c : '?');
  return narrow;
}

struct Url {
  std::string host;
  uint16_t port = 80;
  std::string path = "/";
};

// "http://host[:port][/path]"; any other scheme is refused, as the exchange speaks plain http.
Url ParseUrl(const std::string& url) {
  const std::string scheme = "http://";
  std::string lower = url.substr(0, scheme.size());
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower != scheme) throw EHTTPError("Unsupported URL: " + url, 0);
  Url parsed;
  size_t slash = url.find('/', scheme.size());
  std::string authority = url.substr(scheme.size(), slash - scheme.size());
  if (slash != std::string::npos) parsed.path = url.substr(slash);
  size_t colon = authority.rfind(':');
  parsed.host = authority.substr(0, colon);
  if (colon != std::string::npos) {
    std::string port = authority.substr(colon + 1);
    bool digits = !port.empty() && port.size() <= 5 &&
                  port.find_first_not_of("0123456789") == std::string::npos;
    unsigned long number = digits ? std::stoul(port) : 0;
    if (number == 0 || number > 65535) throw EHTTPError("Invalid port in URL: " + url, 0);
    parsed.port = static_cast<uint16_t>(number);
  }
  if (parsed.host.empty()) throw EHTTPError("No host in URL: " + url, 0);
  return parsed;
}

// The status line as the server sent it: the first line of the raw headers.
std::string StatusLine(HINTERNET request) {
  const WinHttpApi& api = WinHttp();
  DWORD size = 0;
  api.QueryHeaders(request, kQueryRawHeadersCrlf, nullptr, nullptr, &size, nullptr);
  if (api.GetLastError() != kErrorInsufficientBuffer || size == 0) return "";
  std::wstring headers(size / sizeof(wchar_t) + 1, L'\0');
  if (!api.QueryHeaders(request, kQueryRawHeadersCrlf, nullptr, headers.data(), &size, nullptr)) {
    return "";
  }
  headers.resize(size / sizeof(wchar_t));
  return Narrow(headers.substr(0, headers.find(L"\r\n")));
}

std::string ReadBody(HINTERNET request) {
  std::string body;
  char buffer[8192];
  for (;;) {
    DWORD read = 0;
    Check(WinHttp().ReadData(request, buffer, sizeof buffer, &read), "Reading the answer");
    if (read == 0) return body;
    body.append(buffer, read);
  }
}

}  // namespace

std::string PostForm(const std::string& url, const std::string& body) {
  const WinHttpApi& api = WinHttp();
  Url target = ParseUrl(url);
  Handle session(
      Checked(api.Open(L"OrvoWebServerUploadXML", kAccessTypeNoProxy, nullptr, nullptr, 0),
              "Opening the HTTP client"));
  Check(api.SetTimeouts(session.get(), 0, 30000, 120000, 120000), "Setting the time-outs");
  Handle connection(
      Checked(api.Connect(session.get(), Wide(target.host).c_str(), target.port, 0), "Connecting"));
  Handle request(Checked(api.OpenRequest(connection.get(), L"POST", Wide(target.path).c_str(),
                                         L"HTTP/1.0", nullptr, nullptr, 0),
                         "Opening the request"));
  DWORD disable = kDisableRedirects;
  Check(api.SetOption(request.get(), kOptionDisableFeature, &disable, sizeof disable),
        "Turning redirects off");
  const auto length = static_cast<DWORD>(body.size());
  Check(api.SendRequest(request.get(), L"Content-Type: application/x-www-form-urlencoded",
                        kHeadersNullTerminated, const_cast<char*>(body.data()), length, length, 0),
        "Sending the request");
  Check(api.ReceiveResponse(request.get(), nullptr), "Receiving the answer");

  DWORD status = 0, size = sizeof status;
  Check(api.QueryHeaders(request.get(), kQueryStatusCode | kQueryFlagNumber, nullptr, &status,
                         &size, nullptr),
        "Reading the status");
  if (status < 200 || status > 299) {
    std::string line = StatusLine(request.get());
    throw EHTTPError(line.empty() ? "HTTP status " + std::to_string(status) : line,
                     static_cast<int32_t>(status));
  }
  return ReadBody(request.get());
}

}  // namespace orvo
