// Request and response bases, the action table and the dispatcher.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Classes.h"
#include "common/SysUtils.h"
#include "host/AllowedFolders.h"
#include "web/Masks.h"
#include "web/RequestBody.h"

namespace orvo {

// Request method codes; a request with any other method has code mtAny (0).
enum TMethodType : uint8_t { mtAny = 0, mtGet = 1, mtPut = 2, mtPost = 3, mtHead = 4 };

class TWebRequest : public TObject {
 public:
  // Indexes of the request values (see StringVariable).
  static constexpr int kMethod = 0;
  static constexpr int kProtocolVersion = 1;
  static constexpr int kPathInfo = 4;
  static constexpr int kContentLength = 16;
  static constexpr int kContent = 25;

  ~TWebRequest() override;

  virtual std::string StringVariable(int index) = 0;
  // The string value converted with StrToIntDefault(..., -1).
  int32_t IntegerVariable(int index);

  // Output operations used by the response; their results are not examined.
  virtual void WriteString(const std::string& bytes) = 0;
  virtual void WriteClient(const void* buffer, size_t count) = 0;
  virtual void WriteHeaders(const std::string& statusText, const std::string& headers) = 0;

  TMethodType MethodType() const { return methodType_; }
  std::string Method() { return StringVariable(kMethod); }
  std::string ProtocolVersion() { return StringVariable(kProtocolVersion); }
  std::string PathInfo() { return StringVariable(kPathInfo); }
  int32_t ContentLength() { return IntegerVariable(kContentLength); }
  TRequestBody& Body() { return body_; }
  const std::string& Content() { return body_.Content(); }

  // The decoded body fields, decoded on the first call. After a decoding failure the list keeps
  // the fields decoded before it and later calls return it without error. A body of 64 KiB or
  // more is decoded in its own storage: Content() is empty after the first call.
  TStrings& ContentFields();

 protected:
  TMethodType methodType_ = mtAny;
  TRequestBody body_;  // set by the derived class's constructor

 private:
  std::unique_ptr<TStringList> fields_;
};

class TWebResponse : public TObject {
 public:
  explicit TWebResponse(TWebRequest& request) : request_(request) {}
  ~TWebResponse() override;

  TWebRequest& HTTPRequest() { return request_; }

  int32_t StatusCode() const { return statusCode_; }
  // A new code also sets the reason text from StatusText.
  void SetStatusCode(int32_t code);
  const std::string& ReasonString() const { return reasonString_; }
  void SetReasonString(const std::string& text) { reasonString_ = text; }
  const std::string& ContentType() const { return contentType_; }
  void SetContentType(const std::string& text) { contentType_ = text; }
  const std::string& Content() const { return content_; }
  // Taken by value: an answer built for the response moves in without a copy.
  void SetContent(std::string content);
  int32_t ContentLength() const { return contentLength_; }
  void SetContentLength(int32_t length) { contentLength_ = length; }
  TStream* ContentStream() const { return contentStream_.get(); }
  // The response owns the stream; nullptr removes (and destroys) the current one.
  void SetContentStream(std::unique_ptr<TStream> stream);
  TStringList& CustomHeaders() { return customHeaders_; }

  // Header values that this program leaves empty; written when set.
  std::string Location, Allow, DerivedFrom, Title, WWWAuthenticate, Realm, ContentVersion,
      ContentEncoding;

  bool Sent() const { return sent_; }
  virtual void SendResponse() = 0;
  virtual void SendStream(TStream& stream) = 0;

 protected:
  TWebRequest& request_;
  bool sent_ = false;

 private:
  int32_t statusCode_ = 200;
  std::string reasonString_ = "OK";
  std::string contentType_ = "text/html";
  std::string content_;
  int32_t contentLength_ = 0;
  std::unique_ptr<TStream> contentStream_;
  TStringList customHeaders_;
};

// Writes the failure of a request to the operator's log (see ErrorLog.h).
void LogFailure(TWebRequest& request, const Exception& failure);

using THTTPMethodEvent = std::function<void(TObject* Sender, TWebRequest& Request,
                                            TWebResponse& Response, bool& Handled)>;
using TWebExceptionEvent = std::function<void(TObject* Sender, const Exception& E, bool& Handled)>;

class TWebActionItems;

class TWebActionItem : public TObject {
 public:
  explicit TWebActionItem(TWebActionItems& collection) : collection_(collection) {}
  ~TWebActionItem() override;

  const std::string& Name() const { return name_; }
  // EWebException "Duplicate action name" when another entry has it (letter case ignored).
  void SetName(const std::string& name);
  const std::string& PathInfo() const { return pathInfo_; }
  // Backslashes become slashes and a leading "/" is added.
  void SetPathInfo(const std::string& path);
  TMethodType MethodType() const { return methodType_; }
  void SetMethodType(TMethodType method) { methodType_ = method; }
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled) { enabled_ = enabled; }
  bool Default() const { return default_; }
  // Setting it on one entry clears it on every other entry.
  void SetDefault(bool value);

  THTTPMethodEvent OnAction;

  // Runs the entry when it takes the request; returns whether it handled it.
  bool DispatchAction(TWebRequest& request, TWebResponse& response, bool asDefault);

 private:
  friend class TWebActionItems;
  bool PathMatches(const std::string& path);

  TWebActionItems& collection_;
  std::string name_;
  std::string pathInfo_;
  TMethodType methodType_ = mtAny;
  bool enabled_ = true;
  bool default_ = false;
  std::unique_ptr<TMask> mask_;  // compiled on first use, dropped when PathInfo changes
};

class TWebActionItems {
 public:
  TWebActionItems() = default;
  TWebActionItems(const TWebActionItems&) = delete;
  TWebActionItems& operator=(const TWebActionItems&) = delete;

  // Appends a new entry with the defaults and returns it.
  TWebActionItem& Add();
  // Appends an entry with the usual properties set.
  TWebActionItem& Add(const std::string& name, const std::string& pathInfo,
                      THTTPMethodEvent onAction, TMethodType method = mtAny);
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  TWebActionItem& Items(int32_t index) { return *items_.at(static_cast<size_t>(index)); }
  TWebActionItem* FindItemByName(const std::string& name);

 private:
  friend class TWebActionItem;
  std::vector<std::unique_ptr<TWebActionItem>> items_;
};

// The dispatcher's failure page: the message and the request's path, as HTML text.
std::string ApplicationErrorPage(const std::string& message, const std::string& pathInfo);

class TCustomWebDispatcher : public TObject {
 public:
  TCustomWebDispatcher() = default;
  TCustomWebDispatcher(const TCustomWebDispatcher&) = delete;
  TCustomWebDispatcher& operator=(const TCustomWebDispatcher&) = delete;

  TWebActionItems& Actions() { return actions_; }

  THTTPMethodEvent BeforeDispatch;
  THTTPMethodEvent AfterDispatch;
  TWebExceptionEvent OnException;

  // Runs the first entry that takes the request (else the default entry), confined to the
  // request's folders; whether handled.
  bool DispatchAction(TWebRequest& request, TWebResponse& response);
  // The folders that the request being dispatched may reach (nullptr: no confinement), read
  // anew for each request.
  virtual std::shared_ptr<const AllowedFolders> RequestFolders() { return nullptr; }
  // Answers a failure that escaped DispatchAction with status 500 and the error page.
  void HandleException(const Exception& E, bool& Handled);
  // Forgets the request and the response once their dispatch is over.
  void Unbind();

  TWebRequest* Request() const { return request_; }
  TWebResponse* Response() const { return response_; }

 private:
  TWebActionItems actions_;
  TWebRequest* request_ = nullptr;
  TWebResponse* response_ = nullptr;
};

// The web module: a dispatcher whose derived classes fill Actions in their constructor.
class TWebModule : public TCustomWebDispatcher {};

}  // namespace orvo
