#include "web/CGIHTTP.h"

#include <array>

#include "common/SysUtilsText.h"
#include "host/Host.h"

namespace orvo {
namespace {

// The variable behind each request value index; index 25 is the body.
constexpr std::array<const char*, 29> kVariableNames = {"REQUEST_METHOD",
                                                        "SERVER_PROTOCOL",
                                                        "URL",
                                                        "QUERY_STRING",
                                                        "PATH_INFO",
                                                        "PATH_TRANSLATED",
                                                        "HTTP_CACHE_CONTROL",
                                                        "HTTP_DATE",
                                                        "HTTP_ACCEPT",
                                                        "HTTP_FROM",
                                                        "HTTP_HOST",
                                                        "HTTP_IF_MODIFIED_SINCE",
                                                        "HTTP_REFERER",
                                                        "HTTP_USER_AGENT",
                                                        "HTTP_CONTENT_ENCODING",
                                                        "HTTP_CONTENT_TYPE",
                                                        "HTTP_CONTENT_LENGTH",
                                                        "HTTP_CONTENT_VERSION",
                                                        "HTTP_DERIVED_FROM",
                                                        "HTTP_EXPIRES",
                                                        "HTTP_TITLE",
                                                        "REMOTE_ADDR",
                                                        "REMOTE_HOST",
                                                        "SCRIPT_NAME",
                                                        "SERVER_PORT",
                                                        "",
                                                        "HTTP_CONNECTION",
                                                        "HTTP_COOKIE",
                                                        "HTTP_AUTHORIZATION"};

std::string Environment(const std::string& name) {
  return Host::Default().GetEnvironment(name).value_or("");
}

std::string SecondName(const std::string& name) {
  const std::string prefix = "HTTP_";
  if (name.compare(0, prefix.size(), prefix) == 0) return name.substr(prefix.size());
  return prefix + name;
}

TMethodType MethodCode(const std::string& method) {
  if (CompareTextAscii(method, "GET") == 0) return mtGet;
  if (CompareTextAscii(method, "PUT") == 0) return mtPut;
  if (CompareTextAscii(method, "POST") == 0) return mtPost;
  if (CompareTextAscii(method, "HEAD") == 0) return mtHead;
  return mtAny;
}

constexpr int32_t kStreamChunk = 8192;

}  // namespace

// ---- Request ----

TCGIRequest::TCGIRequest() {
  methodType_ = MethodCode(Method());
  body_ = TRequestBody(DeclaredBodyLength(Environment), MaxBodySetting(Host::Default()));
}

std::string TCGIRequest::StringVariable(int index) {
  return index == kContent ? Content() : EnvironmentVariable(index);
}

std::string TCGIRequest::EnvironmentVariable(int index) {
  if (index < 0 || index >= static_cast<int>(kVariableNames.size()) || index == kContent) {
    return "";
  }
  const std::string name = kVariableNames[static_cast<size_t>(index)];
  std::string value = Environment(name);
  if (value.empty()) value = Environment(SecondName(name));
  return value;
}

void TCGIRequest::WriteString(const std::string& bytes) {
  if (!bytes.empty()) Host::Default().WriteStdout(bytes.data(), bytes.size());
}

void TCGIRequest::WriteClient(const void* buffer, size_t count) {
  Host::Default().WriteStdout(buffer, count);
}

void TCGIRequest::WriteHeaders(const std::string& statusText, const std::string& headers) {
  WriteString("Status: " + statusText + "\r\n" + headers);
}

// ---- Response ----

TCGIResponse::TCGIResponse(TCGIRequest& request) : TWebResponse(request) {
  if (request.ProtocolVersion().empty()) version_ = "1.0";
}

std::string TCGIResponse::HeaderBlock() {
  std::string block;
  auto line = [&block](const std::string& name, const std::string& value) {
    if (!value.empty()) block += name + ": " + value + "\r\n";
  };
  line("Location", Location);
  line("Allow", Allow);
  line("Derived-From", DerivedFrom);
  line("Title", Title);
  line("WWW-Authenticate", Realm.empty() ? WWWAuthenticate : WWWAuthenticate + " Realm=" + Realm);
  TStringList& custom = CustomHeaders();
  for (int32_t i = 0; i < custom.Count(); ++i) {
    std::string name = custom.Names(i);
    block += name + ": " + custom.Values(name) + "\r\n";
  }
  line("Content-Version", ContentVersion);
  line("Content-Encoding", ContentEncoding);
  line("Content-Type", ContentType());
  if (!Content().empty() || ContentStream() != nullptr) {
    block += "Content-Length: " + IntToStr(ContentLength()) + "\r\n";
  }
  block += "Content:\r\n\r\n";
  return block;
}

void TCGIResponse::SendResponse() {
  if (!request_.ProtocolVersion().empty()) {
    bool hasReason = !ReasonString().empty() && StatusCode() > 0;
    std::string status = hasReason ? IntToStr(StatusCode()) + " " + ReasonString() : "200 OK";
    request_.WriteHeaders(status, HeaderBlock());
  }
  // The head is out: a body that fails half-way must not be followed by an error page.
  sent_ = true;
  if (ContentStream() == nullptr) {
    request_.WriteString(Content());
  } else {
    SendStream(*ContentStream());
    SetContentStream(nullptr);
  }
}

void TCGIResponse::SendStream(TStream& stream) {
  std::array<char, kStreamChunk> buffer;
  while (stream.Position() < stream.Size()) {
    int32_t got = stream.Read(buffer.data(), kStreamChunk);
    // Short of its size: a failed read, which must not pass for the end of the bytes.
    if (got <= 0) throw EReadError("Stream read error");
    request_.WriteClient(buffer.data(), static_cast<size_t>(got));
  }
}

}  // namespace orvo
