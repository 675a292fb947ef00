// A loopback SMTP sink for the benchmarks: listens on 127.0.0.1, answers
// like an SMTP server (greeting, EHLO, AUTH LOGIN, MAIL, RCPT, DATA, QUIT),
// reads everything and counts the messages whose DATA section arrived whole,
// up to the end-of-data line. It closes a connection when the client has
// closed its sending side and every reply is out. Each reply may be held
// back for a while after its command arrived, as a distant server's would
// be; PIPELINING is advertised or not. With a certificate it offers
// STARTTLS and speaks TLS (OpenSSL) from there on. One thread, epoll.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <deque>
#include <thread>
#include <unordered_map>
#include <vector>

struct ssl_ctx_st;

namespace quarn::bench {

struct BenchSinkOptions {
  std::chrono::microseconds reply_delay{0};  // from a command's arrival to its reply
  bool pipelining = true;                    // advertised in the EHLO reply
  std::string tls_cert;                      // PEM chain and key: STARTTLS offered
  std::string tls_key;
};

class BenchSink {
 public:
  using Clock = std::chrono::steady_clock;

  // When a connection's phases happened, for the profile of one call.
  struct Timeline {
    Clock::time_point accepted;
    Clock::time_point first_byte;
    Clock::time_point end_of_data;  // the "." line arrived
    Clock::time_point client_eof;   // the client shut down its sending side
    bool complete = false;
  };

  struct Counts {
    std::uint64_t connections = 0;
    std::uint64_t complete = 0;      // DATA sections received up to "."
    std::uint64_t intact = 0;        // of those, with the expected body inside
    std::uint64_t incomplete = 0;    // connections closed inside or before DATA
    std::uint64_t resets = 0;        // connections that ended in an error
    std::uint64_t bytes = 0;
  };

  using Options = BenchSinkOptions;

  // expected_body: text that a whole message's data must contain ("" for any).
  explicit BenchSink(std::string expected_body = "", bool keep_timelines = false,
                     Options options = Options());
  ~BenchSink();
  BenchSink(const BenchSink&) = delete;
  BenchSink& operator=(const BenchSink&) = delete;

  std::uint16_t port() const { return port_; }
  Counts counts();
  // Timelines of closed connections, in the order they were closed; taken
  // out of the sink.
  std::vector<Timeline> take_timelines();
  // Waits until `connections` connections have been closed, or the time-out.
  bool wait_closed(std::uint64_t connections, std::chrono::milliseconds timeout);

 private:
  struct Connection;
  void loop();
  void accept_all();
  bool on_readable(Connection& c);
  void handle_line(Connection& c, const std::string& line);
  void reply(Connection& c, const std::string& text);
  int release_due_replies();  // returns the epoll wait in ms until the next one
  void flush(Connection& c);
  void finish(Connection* c, bool error);
  // recv and send, through TLS once it started: > 0 bytes, 0 the end of the
  // stream, -1 with errno (EAGAIN: try again when the socket is ready).
  ssize_t receive(Connection& c, char* buffer, std::size_t size);
  ssize_t transmit(Connection& c, const char* bytes, std::size_t size);

  std::string expected_body_;
  bool keep_timelines_;
  Options options_;
  ssl_ctx_st* tls_ = nullptr;
  int listen_fd_ = -1;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  Counts counts_;
  std::uint64_t closed_ = 0;
  std::vector<Timeline> timelines_;
  std::unordered_map<int, Connection*> open_;  // by descriptor; the loop thread only
  std::thread thread_;
};

}  // namespace quarn::bench
