// A one-request HTTP server on 127.0.0.1 for the tests of the HTTP client: records the request
// and answers it with a fixed response.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

namespace orvo::test {

class LoopbackServer {
 public:
  // Listens on a free port and serves one request on a thread of its own.
  explicit LoopbackServer(std::string response);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // The request as received; complete once the client has its answer.
  const std::string& Request() const { return request_; }
  std::string Body() const { return request_.substr(request_.find("\r\n\r\n") + 4); }

 private:
  void Serve();
  bool Complete() const;

  std::string response_;
  std::string request_;
  intptr_t listener_ = -1;  // a socket of the system's kind
  int port_ = 0;
  std::thread thread_;
};

}  // namespace orvo::test
