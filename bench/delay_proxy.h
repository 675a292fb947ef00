// A TCP proxy on 127.0.0.1 that holds every byte back for a fixed time in
// each direction before passing it on, as a distant server's network would
// (RTT = twice the delay). For the mail benchmark: velmar talks to the proxy,
// the proxy to the loopback sink. Two threads per direction of each
// connection: one reads and stamps, one writes when the stamp is due.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quarn::bench {

class DelayProxy {
 public:
  DelayProxy(std::uint16_t target_port, std::chrono::microseconds one_way);
  ~DelayProxy();
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  struct Pipe;
  void accept_loop();

  std::uint16_t target_port_;
  std::chrono::microseconds one_way_;
  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::unique_ptr<Pipe>> pipes_;
  std::thread acceptor_;
};

}  // namespace quarn::bench
