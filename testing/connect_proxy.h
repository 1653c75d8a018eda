// An HTTP proxy on 127.0.0.1 for the tests of the service's proxy: it opens tunnels (HTTP
// CONNECT) to ports of 127.0.0.1 and passes bytes both ways, as a company's proxy does for HTTPS.
// Given a user and password, it answers 407 to a CONNECT without them (Basic). It keeps, for the
// test, each CONNECT's target ("host:port") and the credentials it came with.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quirada::testing {

class ConnectProxy {
 public:
  // `user_password` "user:password" for a proxy that asks for them; "" for one that does not.
  explicit ConnectProxy(std::string user_password = "");
  ~ConnectProxy();
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;

  int port() const { return port_; }

  struct Tunnel {
    std::string target;       // what the CONNECT line named
    std::string credentials;  // "user:password" its Proxy-Authorization carried, "" none
    bool opened = false;      // the proxy let it through
  };
  std::vector<Tunnel> Tunnels() const;

 private:
  void Accept();
  void Serve(int client);

  const std::string user_password_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_ = false;
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<Tunnel> tunnels_;
  std::vector<std::thread> workers_;
};

}  // namespace quirada::testing
