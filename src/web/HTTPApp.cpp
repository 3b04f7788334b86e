#include "web/HTTPApp.h"

#include <utility>

#include "common/SysUtilsText.h"
#include "web/ErrorLog.h"
#include "web/Masks.h"

namespace orvo {

// ---- Body fields ----

namespace {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return c - 'a' + 10;
}

bool IsStopByte(char c) { return c == '&' || c == '\r' || c == '\n' || c == '"' || c == '\0'; }

}  // namespace

std::string DecodeURLText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    // Bytes that need no decoding are copied in runs.
    size_t plain = i;
    while (plain < text.size() && text[plain] != '+' && text[plain] != '%') ++plain;
    out.append(text, i, plain - i);
    i = plain;
    if (i == text.size()) break;
    if (text[i] == '+') {
      out += ' ';
      ++i;
    } else if (i + 1 < text.size() && text[i + 1] == '%') {
      out += '%';
      i += 2;
    } else if (i + 2 >= text.size()) {
      throw EWebException("Error decoding URL style (%XX) encoded string at position " +
                          IntToStr(static_cast<int64_t>(i + 1)));
    } else if (!IsHexDigit(text[i + 1]) || !IsHexDigit(text[i + 2])) {
      throw EConvertError("Invalid URL encoded character (" + std::string(text.substr(i, 3)) +
                          ") at position " + IntToStr(static_cast<int64_t>(i + 1)));
    } else {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 3;
    }
  }
  return out;
}

void ExtractFields(std::string_view content, TStrings& strings) {
  const std::string_view text = content.substr(0, content.find('\0'));
  if (text.empty()) return;
  const size_t end = text.size();
  auto at = [&](size_t i) { return i < end ? text[i] : '\0'; };
  bool quoted = false;  // carries over from one field to the next
  size_t p = 0;
  for (;;) {
    while (at(p) == '\r' || at(p) == '\n') ++p;
    size_t start = p;
    bool inQuote = false, leadQuote = false;
    for (;;) {
      while ((inQuote && at(p) != '\0' && at(p) != '"') || !IsStopByte(at(p))) ++p;
      if (at(p) != '"') break;
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
    if (!leadQuote && at(p) == '"') ++p;
    bool atEnd = p >= end;
    if (start < end) strings.Add(DecodeURLText(text.substr(start, p - start)));
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
  const std::string& content = request_.Content();
  if (static_cast<int64_t>(content.size()) >= length) {
    ExtractFields(content, *fields_);  // parsed in place: a batch body can be large
    return *fields_;
  }
  std::string body = content + request_.ReadBody(length - static_cast<int32_t>(content.size()));
  ExtractFields(body, *fields_);
  return *fields_;
}

// ---- Request ----

TWebRequest::~TWebRequest() = default;

int32_t TWebRequest::IntegerVariable(int index) {
  return StrToIntDefault(StringVariable(index), -1);
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
