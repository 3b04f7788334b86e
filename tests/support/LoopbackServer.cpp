#include "LoopbackServer.h"

#include <stdexcept>

#ifdef _WIN32
#include <winsock2.h>
using Socket = SOCKET;
using SocketLength = int;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using Socket = int;
using SocketLength = socklen_t;
#endif

namespace orvo::test {
namespace {

#ifdef _WIN32
// Winsock is started once for the whole test program.
const bool kSocketsStarted = [] {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();
void CloseSocket(Socket s) { closesocket(s); }
bool IsValid(Socket s) { return s != INVALID_SOCKET; }
const int kSendFlags = 0;
#else
void CloseSocket(Socket s) { close(s); }
bool IsValid(Socket s) { return s >= 0; }
const int kSendFlags = MSG_NOSIGNAL;
#endif

}  // namespace

LoopbackServer::LoopbackServer(std::string response) : response_(std::move(response)) {
  Socket listener = socket(AF_INET, SOCK_STREAM, 0);
  listener_ = static_cast<intptr_t>(listener);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  SocketLength length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    CloseSocket(listener);
    throw std::runtime_error("cannot listen on loopback");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

LoopbackServer::~LoopbackServer() {
  auto listener = static_cast<Socket>(listener_);
#ifdef _WIN32
  CloseSocket(listener);  // what wakes a waiting accept there
  thread_.join();
#else
  shutdown(listener, SHUT_RDWR);  // wakes a waiting accept; the descriptor stays until the join
  thread_.join();
  CloseSocket(listener);
#endif
}

void LoopbackServer::Serve() {
  Socket connection = accept(static_cast<Socket>(listener_), nullptr, nullptr);
  if (!IsValid(connection)) return;
  char buffer[4096];
  while (!Complete()) {
    int n = static_cast<int>(recv(connection, buffer, sizeof buffer, 0));
    if (n <= 0) break;
    request_.append(buffer, static_cast<size_t>(n));
  }
  send(connection, response_.data(), static_cast<int>(response_.size()), kSendFlags);
  CloseSocket(connection);
}

bool LoopbackServer::Complete() const {
  size_t end = request_.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  size_t field = request_.find("Content-Length: ");
  size_t length = field < end ? std::stoul(request_.substr(field + 16)) : 0;
  return request_.size() >= end + 4 + length;
}

}  // namespace orvo::test
