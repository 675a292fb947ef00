#include "capture_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quarn::test {
namespace {

int bound_socket(const char* address, std::uint16_t* port) {
  sockaddr_storage storage{};
  socklen_t size = 0;
  int family = AF_INET;
  if (std::strchr(address, ':') != nullptr) {
    family = AF_INET6;
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, address, &in6->sin6_addr);
    size = sizeof *in6;
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    inet_pton(AF_INET, address, &in4->sin_addr);
    size = sizeof *in4;
  }
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  if (bind(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0) {
    close(fd);
    throw std::runtime_error(std::string("bind failed: ") + std::strerror(errno));
  }
  getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size);
  *port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                                   : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  return fd;
}

bool send_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

CaptureServer::CaptureServer(Mode mode, const char* address) : mode_(mode) {
  listener_ = bound_socket(address, &port_);
  if (listen(listener_, 64) != 0) throw std::runtime_error("listen failed");
  acceptor_ = std::thread([this] { accept_loop(); });
}

CaptureServer::~CaptureServer() {
  stopping_ = true;
  acceptor_.join();
  for (auto& worker : workers_) worker.join();
  close(listener_);
}

void CaptureServer::accept_loop() {
  while (!stopping_) {
    pollfd ready{listener_, POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0) continue;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

// The reply to one line of the client, and whether data mode follows.
std::string CaptureServer::reply_to(const std::string& line, int* auth_lines, bool* in_data) {
  if (*in_data) {
    if (line != ".") return "";
    *in_data = false;
    return "250 2.0.0 captured\r\n";
  }
  if (*auth_lines > 0) return --*auth_lines > 0 ? "334 UGFzc3dvcmQ6\r\n" : "235 2.7.0 ok\r\n";
  const std::string verb = line.substr(0, 4);
  if (verb == "EHLO") return "250-capture\r\n250 AUTH LOGIN\r\n";
  if (line == "AUTH LOGIN") {
    *auth_lines = 2;
    return "334 VXNlcm5hbWU6\r\n";
  }
  if (verb == "MAIL" || verb == "RCPT") return "250 2.1.0 ok\r\n";
  if (verb == "DATA") {
    *in_data = true;
    return "354 go ahead\r\n";
  }
  if (verb == "QUIT") return "221 2.0.0 bye\r\n";
  return "500 5.5.2 what?\r\n";
}

void CaptureServer::serve(int fd) {
  Conversation conversation{{}, false};
  send_all(fd, "220 capture ready\r\n");
  std::size_t parsed = 0;  // bytes up to the last line end taken
  int auth_lines = 0;
  bool in_data = false, reset = false;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  char buffer[65536];
  while (!stopping_ && !reset && std::chrono::steady_clock::now() < give_up) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0) continue;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) {
      conversation.orderly_end = true;
      break;
    }
    if (n < 0) break;
    conversation.received.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while (!reset && (end = conversation.received.find("\r\n", parsed)) != std::string::npos) {
      const std::string line = conversation.received.substr(parsed, end - parsed);
      parsed = end + 2;
      reset = (mode_ == Mode::kResetInData && in_data && line.empty()) ||
              (mode_ == Mode::kResetAtEnd && in_data && line == ".");
      if (!reset) send_all(fd, reply_to(line, &auth_lines, &in_data));
    }
  }
  if (reset) {
    linger hard{1, 0};  // close with RST
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    conversations_.push_back(std::move(conversation));
    done_.notify_all();
  }
  if (mode_ == Mode::kHold) {
    // Do not close first: the client's bound on its wait is under test. Give
    // up after 30 s so that a client without a bound fails instead of hanging.
    const auto hold_until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!stopping_ && std::chrono::steady_clock::now() < hold_until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  close(fd);
}

std::vector<Conversation> CaptureServer::wait_for(std::size_t count,
                                                  std::chrono::seconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!done_.wait_for(lock, timeout, [&] { return conversations_.size() >= count; }))
    throw std::runtime_error("capture server: conversations did not end in time");
  return conversations_;
}

DeadPort::DeadPort() : fd_(bound_socket("127.0.0.1", &port_)) {}
DeadPort::~DeadPort() { close(fd_); }

}  // namespace quarn::test
