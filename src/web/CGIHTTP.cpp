#include "web/CGIHTTP.h"

#include <algorithm>
#include <array>
#include <new>
#include <optional>

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

constexpr size_t kReadChunk = 64 * 1024;

// The buffer for a body of `wanted` bytes once `needed` bytes must fit: the smallest of `wanted`,
// an eighth of it, a sixty-fourth, ... that holds them. The declared length is only a ceiling, so
// memory grows with the bytes that arrive; and as each step is an eighth of the next, growing
// copies a seventh of the body at most.
size_t NextCapacity(size_t wanted, size_t needed) {
  const size_t least = std::max(needed, kReadChunk);
  size_t next = wanted;
  while (next / 8 >= least) next /= 8;
  return next;
}

constexpr int32_t kStreamChunk = 8192;

}  // namespace

// ---- Request ----

TCGIRequest::TCGIRequest() {
  methodType_ = MethodCode(Method());
  content_ = ReadBody(ContentLength());
}

std::string TCGIRequest::StringVariable(int index) {
  return index == kContent ? content_ : EnvironmentVariable(index);
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

std::string TCGIRequest::ReadBody(int32_t count) {
  std::string body;
  if (count <= 0) return body;
  const auto wanted = static_cast<size_t>(count);
  std::array<char, kReadChunk> buffer;
  try {
    while (body.size() < wanted) {
      size_t chunk = std::min(wanted - body.size(), buffer.size());
      int64_t got = Host::Default().ReadStdin(buffer.data(), chunk);
      if (got <= 0) break;
      const auto received = static_cast<size_t>(got);
      // Appending (rather than resizing and reading in place) leaves the unused part untouched.
      if (body.size() + received > body.capacity()) {
        body.reserve(NextCapacity(wanted, body.size() + received));
      }
      body.append(buffer.data(), received);
    }
  } catch (const std::bad_alloc&) {
    throw EOutOfMemory("Out of memory");
  }
  return body;
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
