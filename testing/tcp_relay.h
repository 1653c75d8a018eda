// A TCP relay on 127.0.0.1 for the end-to-end tests: a database server on a port of its own, one
// that stops answering when the test says so, or one that never answers at all.
//
// TcpRelay(port) passes every connection it takes on to 127.0.0.1:`port` (the Firebird server)
// and back. Freeze() makes it a server that stopped answering: it keeps every connection open and
// takes what the client sends, but passes nothing on either way, as a frozen or unplugged server.
// TcpRelay(0) is a listener that takes connections and never answers. The destructor closes
// everything.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace quirada::testing {

class TcpRelay {
 public:
  explicit TcpRelay(int target_port);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  int port() const { return port_; }
  // Connections taken so far.
  int connections() const { return connections_; }
  void Freeze() { frozen_ = true; }

 private:
  void Accept();
  void Pump(int client);

  const int target_port_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_ = false;
  std::atomic<bool> frozen_ = false;
  std::atomic<int> connections_ = 0;
  std::thread acceptor_;
  std::mutex pumps_mutex_;
  std::vector<std::thread> pumps_;
};

}  // namespace quirada::testing
