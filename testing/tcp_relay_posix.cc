#include <poll.h>

#include "testing/loopback_posix.h"
#include "testing/tcp_relay.h"

namespace quirada::testing {

TcpRelay::TcpRelay(int target_port) : target_port_(target_port) {
  listener_ = OpenLoopbackListener(port_);
  acceptor_ = std::thread([this] { Accept(); });
}

TcpRelay::~TcpRelay() {
  stop_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  const std::lock_guard<std::mutex> lock(pumps_mutex_);
  for (auto& t : pumps_) t.join();
  ::close(listener_);
}

void TcpRelay::Accept() {
  for (;;) {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0 || stop_) {
      if (client >= 0) ::close(client);
      return;
    }
    ++connections_;
    const std::lock_guard<std::mutex> lock(pumps_mutex_);
    pumps_.emplace_back([this, client] { Pump(client); });
  }
}

void TcpRelay::Pump(int client) {
  int server = -1;
  if (target_port_ != 0 && (server = ConnectToLoopback(target_port_)) < 0) {
    ::close(client);
    return;
  }
  pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
  char buffer[16384];
  while (!stop_) {
    if (frozen_ || server < 0) {
      // A server that does not answer: the connection stays open and nothing comes back.
      ::usleep(50000);
      continue;
    }
    if (::poll(fds, 2, 100) < 0) break;
    bool closed = false;
    for (int k = 0; k < 2 && !closed && !frozen_; ++k) {
      if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
      closed = n <= 0 || ::write(fds[1 - k].fd, buffer, static_cast<size_t>(n)) != n;
    }
    if (closed) break;
  }
  if (server >= 0) ::close(server);
  ::close(client);
}

}  // namespace quirada::testing
