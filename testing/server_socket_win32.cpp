// The recording server's sockets on Windows: Winsock (started once for the process), WSAPoll, and a
// connected pair of loopback sockets as the stop signal (one byte sent on one side leaves the other
// readable for good).
#include "testing/server_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>
#include <stdexcept>
#include <string>

#include "base/win32_handle_win32.h"

namespace quirada::testing {
namespace {

SOCKET S(intptr_t handle) { return static_cast<SOCKET>(handle); }
SOCKET S(const Socket& socket) { return S(socket.Get()); }

void StartWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    const int error = WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) throw std::runtime_error("HTTPS server: WSAStartup failed (" + std::to_string(error) + ")");
  });
}

// The system's text for a Winsock error, with its number.
std::string ReasonOf(int error) {
  LocalBuffer<wchar_t*> text;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(error), 0,
                                 reinterpret_cast<wchar_t*>(text.put()), 0, nullptr);
  std::string reason;
  for (DWORD i = 0; i < n; ++i) reason += text.get()[i] < 0x80 ? static_cast<char>(text.get()[i]) : '?';
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
    reason.pop_back();
  return (reason.empty() ? "Winsock error" : reason) + " (" + std::to_string(error) + ")";
}

// A TCP socket that child processes do not inherit.
Socket NewSocket() {
  StartWinsock();
  return Socket(static_cast<intptr_t>(
      WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT)));
}

bool MakeNonBlocking(const Socket& socket) {
  u_long on = 1;
  return ioctlsocket(S(socket), FIONBIO, &on) == 0;
}

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<u_short>(port));
  return addr;
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    if (Valid()) closesocket(S(handle_));
    handle_ = other.Release();
  }
  return *this;
}

Socket::~Socket() {
  if (Valid()) closesocket(S(handle_));
}

Socket ListenOnLoopback(int port, int* bound_port) {
  Socket listener = NewSocket();
  if (!listener.Valid()) throw std::runtime_error("HTTPS server: socket");
  // Unlike SO_REUSEADDR on Linux, Windows' SO_REUSEADDR would let two servers share a port; make
  // the port this server's alone instead.
  const BOOL one = TRUE;
  setsockopt(S(listener), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in addr = Loopback(port);
  int len = sizeof addr;
  if (bind(S(listener), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(S(listener), 16) != 0 ||
      getsockname(S(listener), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("HTTPS server: cannot listen: " + ReasonOf(WSAGetLastError()));
  }
  *bound_port = ntohs(addr.sin_port);
  return listener;
}

Socket AcceptConnection(const Socket& listener) {
  Socket connection(static_cast<intptr_t>(accept(S(listener), nullptr, nullptr)));
  if (!connection.Valid()) return connection;
  // An accepted socket inherits the listening one's settings, the inheritable handle included.
  SetHandleInformation(reinterpret_cast<HANDLE>(S(connection)), HANDLE_FLAG_INHERIT, 0);
  if (!MakeNonBlocking(connection)) return Socket();
  const BOOL one = TRUE;
  setsockopt(S(connection), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return connection;
}

long ReceiveSome(const Socket& socket, char* buffer, size_t max) {
  const int n = recv(S(socket), buffer, static_cast<int>(max > 1u << 30 ? 1u << 30 : max), 0);
  if (n >= 0) return n;
  const int error = WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINTR ? -1 : -2;
}

StopSignal::StopSignal() {
  // A pair of loopback sockets: connect to a listener of our own, take the connection, and drop the
  // listener.
  int port = 0;
  const Socket listener = ListenOnLoopback(0, &port);
  raise_side_ = NewSocket();
  const sockaddr_in addr = Loopback(port);
  if (!raise_side_.Valid() ||
      connect(S(raise_side_), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("HTTPS server: stop signal: " + ReasonOf(WSAGetLastError()));
  wait_side_ = Socket(static_cast<intptr_t>(accept(S(listener), nullptr, nullptr)));
  if (!wait_side_.Valid())
    throw std::runtime_error("HTTPS server: stop signal: " + ReasonOf(WSAGetLastError()));
  SetHandleInformation(reinterpret_cast<HANDLE>(S(wait_side_)), HANDLE_FLAG_INHERIT, 0);
}

StopSignal::~StopSignal() = default;

void StopSignal::Raise() {
  const char byte = 1;
  // The byte is never read: the waiting side stays readable. A second raise may find the buffer
  // full of nothing but earlier bytes, which is as good.
  send(S(raise_side_), &byte, 1, 0);
}

bool WaitUntilReady(const Socket& socket, bool for_writing, const StopSignal& stop) {
  const SHORT events = for_writing ? POLLWRNORM : POLLRDNORM;
  for (;;) {
    WSAPOLLFD fds[2] = {{S(socket), events, 0}, {S(stop.wait_side_), POLLRDNORM, 0}};
    const int n = WSAPoll(fds, 2, -1);
    if (n == SOCKET_ERROR) {
      if (WSAGetLastError() == WSAEINTR) continue;
      return false;
    }
    if (fds[1].revents & (POLLRDNORM | POLLHUP | POLLERR)) return false;
    if (fds[0].revents & (POLLERR | POLLNVAL)) return false;
    if (fds[0].revents & (events | POLLHUP)) return true;
  }
}

void PrepareServingThread() {}

}  // namespace quirada::testing
