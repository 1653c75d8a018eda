// The few socket calls of the recording HTTPS server (https_server_core.cc), the same on every
// platform: POSIX sockets, poll and an eventfd on Linux (server_socket_posix.cpp), Winsock,
// WSAPoll and a loopback socket pair on Windows (server_socket_win32.cpp).
//
// Every socket made here is non-blocking (the listening one excepted) and never inherited by child
// processes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quirada::testing {

// One socket (a descriptor, or a Winsock SOCKET), closed when the object goes.
class Socket {
 public:
  Socket() = default;
  explicit Socket(intptr_t handle) : handle_(handle) {}
  Socket(Socket&& other) noexcept : handle_(other.Release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket();

  bool Valid() const { return handle_ != kNone; }
  intptr_t Get() const { return handle_; }
  // What OpenSSL's SSL_set_fd takes (on Windows the SOCKET, as OpenSSL itself converts it).
  int ForSsl() const { return static_cast<int>(handle_); }
  intptr_t Release() {
    const intptr_t h = handle_;
    handle_ = kNone;
    return h;
  }

  static constexpr intptr_t kNone = -1;

 private:
  intptr_t handle_ = kNone;
};

// Listens on 127.0.0.1 at `port` (0: a port the system picks), which it stores in `bound_port`.
// Raises std::runtime_error "HTTPS server: cannot listen: <the system's reason>".
Socket ListenOnLoopback(int port, int* bound_port);

// The next pending connection, non-blocking, with Nagle's delay off; an empty Socket when none
// could be taken.
Socket AcceptConnection(const Socket& listener);

// Reads at most `max` bytes: their count, 0 when the peer has closed, -1 when nothing is there yet,
// -2 on failure.
long ReceiveSome(const Socket& socket, char* buffer, size_t max);

// A signal that, once raised, stays raised: it wakes every WaitUntilReady and makes it return false.
class StopSignal {
 public:
  // Raises std::runtime_error "HTTPS server: <what failed>".
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void Raise();

 private:
  friend bool WaitUntilReady(const Socket&, bool, const StopSignal&);
  Socket wait_side_;   // readable once raised
  Socket raise_side_;  // unused on Linux (the eventfd is both)
};

// Waits until `socket` can be read (or written, with `for_writing`), the peer having hung up
// counting as readable; false when `stop` is raised or the socket failed.
bool WaitUntilReady(const Socket& socket, bool for_writing, const StopSignal& stop);

// Run once by a serving thread before it serves: a write to a peer that has gone fails instead of
// ending the process (SIGPIPE is blocked on Linux; Windows has no such signal).
void PrepareServingThread();

}  // namespace quirada::testing
