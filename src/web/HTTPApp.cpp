#include "web/HTTPApp.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "common/SysUtilsText.h"
#include "web/ErrorLog.h"
#include "web/Masks.h"

namespace orvo {

// ---- Body fields ----

namespace {

// A field this long takes over the body's storage instead of being copied out of it.
constexpr size_t kTakeOver = 64 * 1024;

// The value of each hexadecimal digit; -1 for every other byte.
constexpr std::array<int8_t, 256> kHexValues = [] {
  std::array<int8_t, 256> values{};
  for (int c = 0; c < 256; ++c) {
    values[c] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
                : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
                                       : static_cast<int8_t>(-1);
  }
  return values;
}();

int HexValue(char c) { return kHexValues[static_cast<unsigned char>(c)]; }

// The bytes that end a field outside quotes, and those that end a quoted part.
constexpr std::array<bool, 256> StopTable(std::string_view stops) {
  std::array<bool, 256> table{};
  for (char c : stops) table[static_cast<unsigned char>(c)] = true;
  return table;
}
constexpr std::array<bool, 256> kFieldStops = StopTable(std::string_view("&\r\n\"\0", 5));
constexpr std::array<bool, 256> kQuoteStops = StopTable(std::string_view("\"\0", 2));

// Whether any of the 16 bytes at `p` ends a field. The compiler's vector type makes this a few
// instructions where the processor has vector registers: a batch is one long field.
bool HasFieldStop(const char* p) {
  using Bytes = unsigned char __attribute__((vector_size(16)));
  Bytes v;
  std::memcpy(&v, p, sizeof v);
  const auto hits = (v == '&') | (v == '\r') | (v == '\n') | (v == '"') | (v == 0);
  uint64_t halves[2];
  std::memcpy(halves, &hits, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}

// The first position from `p` on whose byte is in `stops`. A NUL is in both sets and the text
// ends with one (its terminator), so the scan needs no bound.
size_t Scan(const std::string& text, size_t p, const std::array<bool, 256>& stops) {
  if (&stops == &kFieldStops) {
    while (p + 16 <= text.size() && !HasFieldStop(text.data() + p)) p += 16;
  }
  while (!stops[static_cast<unsigned char>(text[p])]) ++p;
  return p;
}

// Decodes text[begin, end) into text from position `to` (at most `begin`) and returns the end of
// the decoded bytes. Output never overtakes input, so the decoding needs no second buffer.
// Positions in the messages count from `begin`.
size_t DecodeInPlace(std::string& text, size_t begin, size_t end, size_t to) {
  char* s = text.data();
  size_t i = begin, o = to;
  while (i < end) {
    const char c = s[i];
    if (c != '%') {
      s[o++] = c == '+' ? ' ' : c;
      ++i;
      continue;
    }
    // The usual escape first: two hexadecimal digits.
    const int high = i + 2 < end ? HexValue(s[i + 1]) : -1;
    const int low = i + 2 < end ? HexValue(s[i + 2]) : -1;
    if ((high | low) >= 0) {
      s[o++] = static_cast<char>(high * 16 + low);
      i += 3;
    } else if (i + 1 < end && s[i + 1] == '%') {
      s[o++] = '%';
      i += 2;
    } else if (i + 2 >= end) {
      throw EWebException("Error decoding URL style (%XX) encoded string at position " +
                          IntToStr(static_cast<int64_t>(i - begin + 1)));
    } else {
      throw EConvertError("Invalid URL encoded character (" + std::string(s + i, 3) +
                          ") at position " + IntToStr(static_cast<int64_t>(i - begin + 1)));
    }
  }
  return o;
}

}  // namespace

std::string DecodeURLText(std::string_view text) {
  std::string out(text);
  out.resize(DecodeInPlace(out, 0, out.size(), 0));
  return out;
}

void ExtractFields(std::string_view content, TStrings& strings) {
  ExtractFields(std::string(content.substr(0, content.find('\0'))), strings);
}

void ExtractFields(std::string&& content, TStrings& strings) {
  // The text ends at its first NUL. Every byte up to it is scanned once, in order, so the first
  // NUL a scan meets is that end; decoding writes only behind the scan.
  std::string text = std::move(content);
  bool quoted = false;  // carries over from one field to the next
  size_t p = 0;
  for (;;) {
    while (text[p] == '\r' || text[p] == '\n') ++p;
    size_t start = p;
    bool inQuote = false, leadQuote = false;
    for (;;) {
      p = Scan(text, p, inQuote ? kQuoteStops : kFieldStops);
      if (text[p] != '"') break;
      if (quoted) {
        quoted = false;
      } else {
        leadQuote = p == start;
        quoted = true;
        if (leadQuote) ++start;  // the opening quote is not part of the field
      }
      inQuote = quoted;
      if (!quoted) break;
      ++p;
    }
    // A closing quote of a field that did not open with one stays in the field.
    if (!leadQuote && text[p] == '"') ++p;
    const bool atEnd = text[p] == '\0';
    if (start < p || !atEnd) {
      if (p - start >= kTakeOver && text.size() - p < p - start) {
        // A large field, most of what is left: decoded to the front of the body, which then
        // becomes the field. The few bytes after it are parsed from a copy.
        std::string rest = text.substr(p);
        text.resize(DecodeInPlace(text, start, p, 0));
        strings.Add(std::move(text));
        text = std::move(rest);
        p = 0;
      } else {
        strings.Add(text.substr(start, DecodeInPlace(text, start, p, start) - start));
      }
    }
    ++p;
    if (atEnd) return;
  }
}

TStrings& TContentParser::ContentFields() {
  if (fields_) return *fields_;
  // Attached before parsing, so a decoding failure leaves the fields decoded so far.
  fields_ = std::make_unique<TStringList>();
  int32_t length = request_.ContentLength();
  if (length <= 0) return *fields_;
  std::string& content = request_.content_;
  if (static_cast<int64_t>(content.size()) < length) {
    content += request_.ReadBody(length - static_cast<int32_t>(content.size()));
  }
  if (content.size() < kTakeOver) {
    ExtractFields(std::string_view(content), *fields_);
    return *fields_;
  }
  // A large body (a batch) is decoded in its own storage rather than beside it.
  request_.takenOver_ = content.size();
  std::string body = std::move(content);
  content.clear();
  ExtractFields(std::move(body), *fields_);
  return *fields_;
}

// ---- Request ----

TWebRequest::~TWebRequest() = default;

int32_t TWebRequest::IntegerVariable(int index) {
  return StrToIntDefault(StringVariable(index), -1);
}

std::string TWebRequest::CutShortText() {
  const int64_t declared = ContentLength();
  const int64_t received = ContentReceived();
  if (declared <= received) return "";
  return "Incomplete request body: " + IntToStr(received) + " of " + IntToStr(declared) +
         " bytes received";
}

TStrings& TWebRequest::ContentFields() {
  if (!parser_) parser_ = std::make_unique<TContentParser>(*this);
  return parser_->ContentFields();
}

// ---- Response ----

TWebResponse::~TWebResponse() = default;

void TWebResponse::SetStatusCode(int32_t code) {
  if (code == statusCode_) return;
  statusCode_ = code;
  reasonString_ = StatusText(code);
}

void TWebResponse::SetContent(std::string content) {
  content_ = std::move(content);
  if (!contentStream_) contentLength_ = static_cast<int32_t>(content_.size());
}

void TWebResponse::SetContentStream(std::unique_ptr<TStream> stream) {
  if (stream.get() == contentStream_.get()) {
    stream.release();  // the same stream again: already owned
    return;
  }
  contentStream_ = std::move(stream);
  contentLength_ = contentStream_ ? static_cast<int32_t>(contentStream_->Size())
                                  : static_cast<int32_t>(content_.size());
}

std::string StatusText(int32_t code) {
  switch (code) {
    case 100:
      return "Continue";
    case 101:
      return "Switching Protocols";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 203:
      return "Non-Authoritative Information";
    case 204:
      return "No Content";
    case 205:
      return "Reset Content";
    case 206:
      return "Partial Content";
    case 300:
      return "Multiple Choices";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Moved Temporarily";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 305:
      return "Use Proxy";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 402:
      return "Payment Required";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 406:
      return "None Acceptable";
    case 407:
      return "Proxy Authentication Required";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 410:
      return "Gone";
    case 411:
      return "Length Required";
    case 412:
      return "Unless True";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "";
  }
}

std::string HTMLEscape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

// ---- Action items ----

TWebActionItem::~TWebActionItem() = default;

void TWebActionItem::SetName(const std::string& name) {
  if (!name.empty() && CompareTextLocale(name, name_) != 0) {
    TWebActionItem* other = collection_.FindItemByName(name);
    if (other != nullptr && other != this) throw EWebException("Duplicate action name");
  }
  name_ = name;
}

void TWebActionItem::SetPathInfo(const std::string& path) {
  std::string normalised = path;
  for (char& c : normalised) {
    if (c == '\\') c = '/';
  }
  if (!normalised.empty() && normalised[0] != '/') normalised.insert(0, "/");
  if (CompareTextLocale(normalised, pathInfo_) == 0) return;
  pathInfo_ = normalised;
  mask_.reset();
}

void TWebActionItem::SetDefault(bool value) {
  if (value) {
    for (auto& item : collection_.items_) item->default_ = false;
  }
  default_ = value;
}

bool TWebActionItem::PathMatches(const std::string& path) {
  if (!mask_) mask_ = std::make_unique<TMask>(pathInfo_);
  return mask_->Matches(path);
}

bool TWebActionItem::DispatchAction(TWebRequest& request, TWebResponse& response, bool asDefault) {
  bool takes = (asDefault && default_) ||
               (enabled_ && (methodType_ == mtAny || methodType_ == request.MethodType()) &&
                PathMatches(request.PathInfo()));
  if (!takes || !OnAction) return false;
  bool handled = true;
  OnAction(this, request, response, handled);
  return handled;
}

TWebActionItem& TWebActionItems::Add() {
  items_.push_back(std::make_unique<TWebActionItem>(*this));
  return *items_.back();
}

TWebActionItem& TWebActionItems::Add(const std::string& name, const std::string& pathInfo,
                                     THTTPMethodEvent onAction, TMethodType method) {
  // Checked before appending, so a duplicate leaves the table unchanged.
  if (FindItemByName(name) != nullptr) throw EWebException("Duplicate action name");
  TWebActionItem& item = Add();
  item.name_ = name;
  item.SetPathInfo(pathInfo);
  item.SetMethodType(method);
  item.OnAction = std::move(onAction);
  return item;
}

TWebActionItem* TWebActionItems::FindItemByName(const std::string& name) {
  if (name.empty()) return nullptr;
  for (auto& item : items_) {
    if (CompareTextLocale(item->Name(), name) == 0) return item.get();
  }
  return nullptr;
}

// ---- Dispatcher ----

bool TCustomWebDispatcher::DispatchAction(TWebRequest& request, TWebResponse& response) {
  request_ = &request;
  response_ = &response;
  if (response.Sent()) return true;
  // Read once the request is bound, so that a configuration that cannot be read is answered
  // by the error page like any failure of the dispatch.
  ScopedConfinement confined(Host::Default(), RequestFolders());
  bool handled = false;
  if (BeforeDispatch) {
    BeforeDispatch(this, request, response, handled);
    handled = handled || response.Sent();
  }
  TWebActionItem* defaultItem = nullptr;
  for (int32_t i = 0; !handled && i < actions_.Count(); ++i) {
    TWebActionItem& item = actions_.Items(i);
    if (item.Default()) defaultItem = &item;
    handled = item.DispatchAction(request, response, false);
  }
  if (!handled && defaultItem != nullptr) {
    handled = defaultItem->DispatchAction(request, response, true);
  }
  if (handled && !response.Sent() && AfterDispatch) {
    AfterDispatch(this, request, response, handled);
  }
  return handled;
}

void TCustomWebDispatcher::HandleException(const Exception& E, bool& Handled) {
  Handled = false;
  if (request_ == nullptr || response_ == nullptr) return;  // no dispatch to answer for
  LogFailure(*request_, E);
  if (OnException) {
    Handled = true;
    response_->SetStatusCode(500);
    OnException(this, E, Handled);
    if (Handled) response_->SendResponse();
  }
  if (Handled) return;
  response_->SetContent("<html><body><h1>Internal Application Error</h1>\r\n<p>" +
                        HTMLEscape(E.Message()) + "\r\n<p><hr width=\"100%\"><i>" +
                        HTMLEscape(request_->PathInfo()) + "</i></body></html>");
  if (!response_->Sent()) {
    response_->SetStatusCode(500);
    response_->SendResponse();
  }
  Handled = true;
}

void TCustomWebDispatcher::Unbind() {
  request_ = nullptr;
  response_ = nullptr;
}

}  // namespace orvo
