#include "bench_sink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quarn::bench {

struct BenchSink::Connection {
  int fd = -1;
  std::string in;       // bytes not yet split into lines
  std::string out;      // replies not yet written
  bool in_data = false;
  bool saw_eof = false;
  int auth_step = 0;    // lines still expected after AUTH LOGIN
  std::string data;     // the current DATA section
  bool completed_one = false;
  bool want_write = false;
  std::deque<std::pair<Clock::time_point, std::string>> held;  // replies not yet due
  Timeline timeline;
  bool tls_next = false;  // TLS starts once the reply to STARTTLS is out
  SSL* ssl = nullptr;
};

namespace {

bool starts_with_word(const std::string& line, const char* word) {
  const std::size_t n = std::strlen(word);
  if (line.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = line[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != word[i]) return false;
  }
  return true;
}

}  // namespace

BenchSink::BenchSink(std::string expected_body, bool keep_timelines, Options options)
    : expected_body_(std::move(expected_body)), keep_timelines_(keep_timelines), options_(options) {
  if (!options_.tls_cert.empty()) {
    tls_ = SSL_CTX_new(TLS_server_method());
    if (tls_ == nullptr ||
        SSL_CTX_use_certificate_chain_file(tls_, options_.tls_cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_, options_.tls_key.c_str(), SSL_FILETYPE_PEM) != 1)
      throw std::runtime_error("cannot load the sink's certificate " + options_.tls_cert);
  }
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("socket failed");
  const int on = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // loopback only
  address.sin_port = 0;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listen_fd_, 1024) != 0)
    throw std::runtime_error("cannot listen on 127.0.0.1");
  socklen_t length = sizeof address;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);

  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epoll_fd_ < 0 || wake_fd_ < 0) throw std::runtime_error("epoll/eventfd failed");
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;  // the listening socket
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &event);
  event.data.ptr = &wake_fd_;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &event);
  thread_ = std::thread([this] { loop(); });
}

BenchSink::~BenchSink() {
  stop_ = true;
  const std::uint64_t one = 1;
  if (::write(wake_fd_, &one, sizeof one) < 0) {
  }
  thread_.join();
  ::close(listen_fd_);
  ::close(epoll_fd_);
  ::close(wake_fd_);
  SSL_CTX_free(tls_);
}

BenchSink::Counts BenchSink::counts() {
  std::lock_guard<std::mutex> guard(mutex_);
  return counts_;
}

std::vector<BenchSink::Timeline> BenchSink::take_timelines() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<Timeline> taken;
  taken.swap(timelines_);
  return taken;
}

bool BenchSink::wait_closed(std::uint64_t connections, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (closed_ >= connections) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void BenchSink::loop() {
  epoll_event events[64];
  int wait_ms = 200;
  while (!stop_) {
    const int n = ::epoll_wait(epoll_fd_, events, 64, wait_ms);
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      if (tag == nullptr) {
        accept_all();
        continue;
      }
      if (tag == &wake_fd_) continue;
      auto* c = static_cast<Connection*>(tag);
      if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        if (!on_readable(*c)) continue;  // finished and freed
      }
      if (events[i].events & EPOLLOUT) flush(*c);
    }
    wait_ms = release_due_replies();
  }
  for (auto& [fd, c] : open_) {
    SSL_free(c->ssl);
    ::close(fd);
    delete c;
  }
  open_.clear();
}

void BenchSink::accept_all() {
  while (true) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    auto* c = new Connection;
    c->fd = fd;
    c->timeline.accepted = Clock::now();
    // Replies go out at once, as every SMTP server sends them.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    open_[fd] = c;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      ++counts_.connections;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = c;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event);
    reply(*c, "220 sink.invalid ESMTP bench sink\r\n");
    flush(*c);
  }
}

// Reads what is there; returns false when the connection was finished.
bool BenchSink::on_readable(Connection& c) {
  char buffer[16384];
  while (true) {
    const ssize_t n = receive(c, buffer, sizeof buffer);
    if (n > 0) {
      if (c.timeline.first_byte == Clock::time_point{}) c.timeline.first_byte = Clock::now();
      {
        std::lock_guard<std::mutex> guard(mutex_);
        counts_.bytes += static_cast<std::uint64_t>(n);
      }
      c.in.append(buffer, static_cast<std::size_t>(n));
      std::size_t start = 0;
      while (true) {
        const std::size_t lf = c.in.find('\n', start);
        if (lf == std::string::npos) break;
        std::size_t end = lf;
        if (end > start && c.in[end - 1] == '\r') --end;
        handle_line(c, c.in.substr(start, end - start));
        start = lf + 1;
      }
      c.in.erase(0, start);
      continue;
    }
    if (n == 0) {
      // The client is done sending: answer what is left, then close, as a
      // server does at the end of a conversation.
      c.timeline.client_eof = Clock::now();
      c.saw_eof = true;
      if (!c.held.empty()) {
        epoll_event event{};
        event.data.ptr = &c;  // no more reading; the held replies come first
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &event);
        return true;
      }
      flush(c);
      finish(&c, false);
      return false;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    if (errno == EINTR) continue;
    finish(&c, true);
    return false;
  }
  flush(c);
  return true;
}

void BenchSink::handle_line(Connection& c, const std::string& line) {
  if (c.in_data) {
    if (line == ".") {
      c.in_data = false;
      c.timeline.end_of_data = Clock::now();
      c.completed_one = true;
      const bool intact = expected_body_.empty() || c.data.find(expected_body_) != std::string::npos;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        ++counts_.complete;
        if (intact) ++counts_.intact;
      }
      c.data.clear();
      reply(c, "250 2.0.0 queued\r\n");
    } else {
      // Undo dot-stuffing; keep the line as it arrived otherwise.
      c.data.append(line[0] == '.' ? line.substr(1) : line);
      c.data += "\r\n";
    }
    return;
  }
  if (c.auth_step > 0) {
    --c.auth_step;
    reply(c, c.auth_step == 1 ? "334 UGFzc3dvcmQ6\r\n" : "235 2.7.0 accepted\r\n");
    return;
  }
  if (starts_with_word(line, "EHLO") || starts_with_word(line, "HELO")) {
    reply(c, std::string("250-sink.invalid\r\n250-AUTH LOGIN\r\n") +
                 (options_.pipelining ? "250-PIPELINING\r\n" : "") +
                 (tls_ && !c.ssl ? "250-STARTTLS\r\n" : "") + "250 8BITMIME\r\n");
  } else if (tls_ && !c.ssl && starts_with_word(line, "STARTTLS")) {
    c.tls_next = true;
    reply(c, "220 2.0.0 ready to start TLS\r\n");
  } else if (starts_with_word(line, "AUTH LOGIN")) {
    // With the user name given on the same line only the password follows.
    const bool initial_response = line.size() > 11;
    c.auth_step = initial_response ? 1 : 2;
    reply(c, initial_response ? "334 UGFzc3dvcmQ6\r\n" : "334 VXNlcm5hbWU6\r\n");
  } else if (starts_with_word(line, "MAIL FROM:") || starts_with_word(line, "RCPT TO:") ||
             starts_with_word(line, "RSET") || starts_with_word(line, "NOOP")) {
    reply(c, "250 2.1.0 ok\r\n");
  } else if (starts_with_word(line, "DATA")) {
    c.in_data = true;
    c.data.clear();
    reply(c, "354 end data with <CR><LF>.<CR><LF>\r\n");
  } else if (starts_with_word(line, "QUIT")) {
    reply(c, "221 2.0.0 bye\r\n");
  } else {
    reply(c, "500 5.5.2 unrecognised command\r\n");
  }
}

void BenchSink::reply(Connection& c, const std::string& text) {
  if (options_.reply_delay.count() == 0 && c.held.empty()) {
    c.out += text;
    return;
  }
  c.held.emplace_back(Clock::now() + options_.reply_delay, text);
}

int BenchSink::release_due_replies() {
  if (options_.reply_delay.count() == 0) return 200;
  const auto now = Clock::now();
  auto next = now + std::chrono::milliseconds(200);
  std::vector<Connection*> done;
  for (auto& [fd, c] : open_) {
    while (!c->held.empty() && c->held.front().first <= now) {
      c->out += c->held.front().second;
      c->held.pop_front();
    }
    flush(*c);
    if (!c->held.empty()) next = std::min(next, c->held.front().first);
    else if (c->saw_eof) done.push_back(c);
  }
  for (Connection* c : done) finish(c, false);
  const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count();
  return static_cast<int>((wait + 999) / 1000);
}

void BenchSink::flush(Connection& c) {
  while (!c.out.empty()) {
    const ssize_t n = transmit(c, c.out.data(), c.out.size());
    if (n > 0) {
      c.out.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!c.want_write) {
        c.want_write = true;
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT;
        event.data.ptr = &c;
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &event);
      }
      return;
    }
    c.out.clear();  // the peer is gone; what it did not take is dropped
    return;
  }
  if (c.tls_next && c.held.empty()) {
    // The client waits for the 220 before its handshake: nothing of that
    // can have been read yet.
    c.tls_next = false;
    c.ssl = SSL_new(tls_);
    SSL_set_fd(c.ssl, c.fd);
    SSL_set_accept_state(c.ssl);
  }
  if (c.want_write) {
    c.want_write = false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = &c;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &event);
  }
}

ssize_t BenchSink::receive(Connection& c, char* buffer, std::size_t size) {
  if (!c.ssl) return ::recv(c.fd, buffer, size, 0);
  const int n = SSL_read(c.ssl, buffer, static_cast<int>(size));
  if (n > 0) return n;
  const int reason = SSL_get_error(c.ssl, n);
  ERR_clear_error();
  if (reason == SSL_ERROR_ZERO_RETURN) return 0;  // close_notify
  errno = reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE ? EAGAIN : ECONNRESET;
  return -1;
}

ssize_t BenchSink::transmit(Connection& c, const char* bytes, std::size_t size) {
  if (!c.ssl) return ::send(c.fd, bytes, size, MSG_NOSIGNAL);
  const int n = SSL_write(c.ssl, bytes, static_cast<int>(size));
  if (n > 0) return n;
  const int reason = SSL_get_error(c.ssl, n);
  ERR_clear_error();
  errno = reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE ? EAGAIN : EPIPE;
  return -1;
}

void BenchSink::finish(Connection* c, bool error) {
  if (c->ssl) {
    SSL_shutdown(c->ssl);  // our close_notify, as a server sends it
    SSL_free(c->ssl);
  }
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, c->fd, nullptr);
  ::close(c->fd);
  open_.erase(c->fd);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (error) ++counts_.resets;
    if (c->in_data || !c->completed_one) ++counts_.incomplete;
    ++closed_;
    if (keep_timelines_) {
      c->timeline.complete = c->completed_one;
      timelines_.push_back(c->timeline);
    }
  }
  delete c;
}

}  // namespace quarn::bench
