#include "delay_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <stdexcept>
#include <string>

namespace quarn::bench {
namespace {

using Clock = std::chrono::steady_clock;

void no_delay(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// One direction: bytes read from `from` go to `to` one_way after they came.
class Direction {
 public:
  Direction(int from, int to, std::chrono::microseconds one_way)
      : from_(from), to_(to), one_way_(one_way) {
    reader_ = std::thread([this] { read_loop(); });
    writer_ = std::thread([this] { write_loop(); });
  }
  ~Direction() {
    reader_.join();
    writer_.join();
  }
  bool finished() const { return finished_; }

 private:
  struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: the end of the stream
  };

  void push(Chunk chunk) {
    std::lock_guard<std::mutex> guard(mutex_);
    queue_.push_back(std::move(chunk));
    ready_.notify_one();
  }

  void read_loop() {
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::recv(from_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        push({Clock::now() + one_way_, std::string()});
        return;
      }
      push({Clock::now() + one_way_, std::string(buffer, static_cast<std::size_t>(n))});
    }
  }

  void write_loop() {
    for (;;) {
      Chunk chunk;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !queue_.empty(); });
        chunk = std::move(queue_.front());
        queue_.pop_front();
      }
      std::this_thread::sleep_until(chunk.due);
      if (chunk.bytes.empty()) {
        ::shutdown(to_, SHUT_WR);
        finished_ = true;
        return;
      }
      for (std::size_t sent = 0; sent < chunk.bytes.size();) {
        const ssize_t n =
            ::send(to_, chunk.bytes.data() + sent, chunk.bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
          // The far side is gone: so is the near one, which ends the reader.
          ::shutdown(from_, SHUT_RDWR);
          ::shutdown(to_, SHUT_RDWR);
          drain();
          finished_ = true;
          return;
        }
        sent += static_cast<std::size_t>(n);
      }
    }
  }

  // Takes what the reader still queues, up to its end of stream.
  void drain() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [this] { return !queue_.empty(); });
      const bool end = queue_.front().bytes.empty();
      queue_.pop_front();
      if (end) return;
    }
  }

  int from_, to_;
  std::chrono::microseconds one_way_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Chunk> queue_;
  std::atomic<bool> finished_{false};
  std::thread reader_, writer_;
};

}  // namespace

struct DelayProxy::Pipe {
  Pipe(int client, int server, std::chrono::microseconds one_way)
      : client_fd(client), server_fd(server) {
    up = std::make_unique<Direction>(client, server, one_way);
    down = std::make_unique<Direction>(server, client, one_way);
  }
  ~Pipe() {
    up.reset();
    down.reset();
    ::close(client_fd);
    ::close(server_fd);
  }
  bool finished() const { return up->finished() && down->finished(); }
  int client_fd, server_fd;
  std::unique_ptr<Direction> up, down;
};

DelayProxy::DelayProxy(std::uint16_t target_port, std::chrono::microseconds one_way)
    : target_port_(target_port), one_way_(one_way) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listen_fd_, 64) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("delay proxy: cannot listen on 127.0.0.1");
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

DelayProxy::~DelayProxy() {
  stop_ = true;
  acceptor_.join();
  ::close(listen_fd_);
  // Each pipe's threads end when its connection ends; the benchmark's
  // connections have all ended by now.
  std::lock_guard<std::mutex> guard(mutex_);
  pipes_.clear();
}

void DelayProxy::accept_loop() {
  while (!stop_) {
    pollfd ready{listen_fd_, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    const int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    target.sin_port = htons(target_port_);
    if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
      ::close(client);
      if (server >= 0) ::close(server);
      continue;
    }
    no_delay(client);
    no_delay(server);
    std::lock_guard<std::mutex> guard(mutex_);
    // Connections that ended give their threads back.
    for (auto it = pipes_.begin(); it != pipes_.end();)
      it = (*it)->finished() ? pipes_.erase(it) : it + 1;
    pipes_.push_back(std::make_unique<Pipe>(client, server, one_way_));
  }
}

}  // namespace quarn::bench
