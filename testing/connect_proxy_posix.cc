#include <openssl/evp.h>
#include <poll.h>

#include <cstdlib>
#include <string_view>

#include "base/text.h"
#include "testing/connect_proxy.h"
#include "testing/loopback_posix.h"

namespace quirada::testing {
namespace {

// The text of a Basic credential ("user:password"), or "" when it is not one.
std::string DecodeBasic(std::string_view value) {
  constexpr std::string_view kBasic = "Basic ";
  if (value.substr(0, kBasic.size()) != kBasic) return "";
  const std::string encoded(value.substr(kBasic.size()));
  std::string decoded(encoded.size(), '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                reinterpret_cast<const unsigned char*>(encoded.data()),
                                static_cast<int>(encoded.size()));
  if (n < 0) return "";
  decoded.resize(static_cast<size_t>(n));
  while (!decoded.empty() && decoded.back() == '\0') decoded.pop_back();  // the padding's
  return decoded;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

ConnectProxy::ConnectProxy(std::string user_password) : user_password_(std::move(user_password)) {
  listener_ = OpenLoopbackListener(port_);
  acceptor_ = std::thread([this] { Accept(); });
}

ConnectProxy::~ConnectProxy() {
  stop_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  const std::lock_guard<std::mutex> lock(mutex_);
  for (auto& t : workers_) t.join();
  ::close(listener_);
}

std::vector<ConnectProxy::Tunnel> ConnectProxy::Tunnels() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return tunnels_;
}

void ConnectProxy::Accept() {
  for (;;) {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0 || stop_) {
      if (client >= 0) ::close(client);
      return;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    workers_.emplace_back([this, client] { Serve(client); });
  }
}

void ConnectProxy::Serve(int client) {
  // The request head: "CONNECT host:port HTTP/1.1" and its header lines, up to the blank line.
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384 && ::read(client, &c, 1) == 1)
    head += c;
  Tunnel tunnel;
  const size_t first_space = head.find(' ');
  const size_t second_space = head.find(' ', first_space + 1);
  const bool is_connect = head.rfind("CONNECT ", 0) == 0 && second_space != std::string::npos;
  if (is_connect) tunnel.target = head.substr(first_space + 1, second_space - first_space - 1);
  for (size_t at = head.find("\r\n"); at != std::string::npos && at + 2 < head.size();) {
    const size_t end = head.find("\r\n", at + 2);
    const std::string line = head.substr(at + 2, end - at - 2);
    const size_t colon = line.find(':');
    if (colon != std::string::npos && EqualsIgnoringCase(line.substr(0, colon), "Proxy-Authorization"))
      tunnel.credentials = DecodeBasic(std::string_view(line).substr(colon + 1 + (line[colon + 1] == ' ')));
    at = end;
  }

  int server = -1;
  const size_t colon = tunnel.target.rfind(':');
  const std::string host = tunnel.target.substr(0, colon);
  if (!is_connect) {
    WriteAll(client, "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n");
  } else if (!user_password_.empty() && tunnel.credentials != user_password_) {
    WriteAll(client, "HTTP/1.1 407 Proxy Authentication Required\r\n"
                     "Proxy-Authenticate: Basic realm=\"teste\"\r\nContent-Length: 0\r\n\r\n");
  } else if (colon == std::string::npos || (host != "127.0.0.1" && host != "localhost") ||
             (server = ConnectToLoopback(std::atoi(tunnel.target.c_str() + colon + 1))) < 0) {
    WriteAll(client, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
  } else {
    tunnel.opened = WriteAll(client, "HTTP/1.1 200 Connection established\r\n\r\n");
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    tunnels_.push_back(tunnel);
  }

  if (tunnel.opened) {
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    char buffer[16384];
    bool closed = false;
    while (!stop_ && !closed) {
      if (::poll(fds, 2, 100) < 0) break;
      for (int k = 0; k < 2 && !closed; ++k) {
        if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
        closed = n <= 0 || !WriteAll(fds[1 - k].fd, std::string_view(buffer, static_cast<size_t>(n)));
      }
    }
  }
  if (server >= 0) ::close(server);
  ::close(client);
}

}  // namespace quirada::testing
