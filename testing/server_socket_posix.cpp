// The recording server's sockets on Linux: POSIX sockets, poll, and an eventfd as the stop signal.
#include "testing/server_socket.h"

#include <pthread.h>
#include <signal.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace quirada::testing {

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    if (Valid()) ::close(static_cast<int>(handle_));
    handle_ = other.Release();
  }
  return *this;
}

Socket::~Socket() {
  if (Valid()) ::close(static_cast<int>(handle_));
}

Socket ListenOnLoopback(int port, int* bound_port) {
  Socket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener.Valid()) throw std::runtime_error("HTTPS server: socket");
  const int fd = static_cast<int>(listener.Get());
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error(std::string("HTTPS server: cannot listen: ") + std::strerror(errno));
  }
  *bound_port = ntohs(addr.sin_port);
  return listener;
}

Socket AcceptConnection(const Socket& listener) {
  Socket connection(::accept4(static_cast<int>(listener.Get()), nullptr, nullptr,
                              SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (connection.Valid()) {
    const int one = 1;
    ::setsockopt(static_cast<int>(connection.Get()), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return connection;
}

long ReceiveSome(const Socket& socket, char* buffer, size_t max) {
  const ssize_t n = ::read(static_cast<int>(socket.Get()), buffer, max);
  if (n >= 0) return static_cast<long>(n);
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -1 : -2;
}

StopSignal::StopSignal() : wait_side_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wait_side_.Valid()) throw std::runtime_error("HTTPS server: eventfd");
}

StopSignal::~StopSignal() = default;

void StopSignal::Raise() {
  const uint64_t one = 1;
  if (::write(static_cast<int>(wait_side_.Get()), &one, sizeof one) < 0) {
    // The counter cannot overflow with the few writes made here; nothing else can fail.
  }
}

bool WaitUntilReady(const Socket& socket, bool for_writing, const StopSignal& stop) {
  const short events = for_writing ? POLLOUT : POLLIN;
  pollfd fds[2] = {{static_cast<int>(socket.Get()), events, 0},
                   {static_cast<int>(stop.wait_side_.Get()), POLLIN, 0}};
  for (;;) {
    const int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[1].revents & POLLIN)) return false;
    if (fds[0].revents & (POLLERR | POLLNVAL)) return false;
    if (fds[0].revents & (events | POLLHUP)) return true;
  }
}

void PrepareServingThread() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

}  // namespace quirada::testing
