#include "web/HTTPApp.h"

#include <utility>

#include "common/SysUtilsText.h"
#include "web/ErrorLog.h"
#include "web/HTTPText.h"
#include "web/Masks.h"

namespace orvo {

// ---- Request ----

TWebRequest::~TWebRequest() = default;

int32_t TWebRequest::IntegerVariable(int index) {
  return StrToIntDefault(StringVariable(index), -1);
}

TStrings& TWebRequest::ContentFields() {
  if (fields_) return *fields_;
  // Attached before decoding, so a decoding failure leaves the fields decoded so far.
  fields_ = std::make_unique<TStringList>();
  body_.DecodeFields(*fields_);
  return *fields_;
}

void LogFailure(TWebRequest& request, const Exception& failure) {
  LogFailure(request.Method(), request.PathInfo(), failure.ClassName(), failure.Message());
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

std::string ApplicationErrorPage(const std::string& message, const std::string& pathInfo) {
  return "<html><body><h1>Internal Application Error</h1>\r\n<p>" + HTMLEscape(message) +
         "\r\n<p><hr width=\"100%\"><i>" + HTMLEscape(pathInfo) + "</i></body></html>";
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
  response_->SetContent(ApplicationErrorPage(E.Message(), request_->PathInfo()));
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
