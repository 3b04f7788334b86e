// The request read from the CGI environment and standard input, and the response written to
// standard output in CGI form.
#pragma once

#include <cstdint>
#include <string>

#include "web/HTTPApp.h"

namespace orvo {

class TCGIRequest : public TWebRequest {
 public:
  // Reads the method and the content length; the body is read when first asked for (see
  // TRequestBody).
  TCGIRequest();

  // The variable of `index`, else its second name ("HTTP_" added or removed); index 25 is the
  // body. Read from the environment each time.
  std::string StringVariable(int index) override;
  // The same for a variable of the environment, without a request (a failure may come before
  // there is one).
  static std::string EnvironmentVariable(int index);

  void WriteString(const std::string& bytes) override;
  void WriteClient(const void* buffer, size_t count) override;
  void WriteHeaders(const std::string& statusText, const std::string& headers) override;
};

class TCGIResponse : public TWebResponse {
 public:
  explicit TCGIResponse(TCGIRequest& request);

  // Writes the head (unless the protocol version is empty) and the body; sets Sent.
  void SendResponse() override;
  // Writes the stream's remaining bytes in chunks of at most 8192 bytes.
  void SendStream(TStream& stream) override;

  // The protocol version recorded when the request had none; never written.
  const std::string& Version() const { return version_; }

 private:
  std::string HeaderBlock();

  std::string version_;
};

}  // namespace orvo
