// Loopback TCP servers that stand in for an SMTP server in the mail tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quarn::test {

struct Conversation {
  std::string received;  // every byte the client sent
  bool orderly_end;      // the client ended with FIN (not reset, not cut off)
};

class CaptureServer {
 public:
  // Every mode answers like a plain SMTP server (AUTH LOGIN, no
  // PIPELINING) and takes any credentials, until it does what it is named
  // for. kReply closes once the client has closed its side after QUIT.
  enum class Mode {
    kReply,
    kHold,            // never closes first: only after 30 s
    kResetInData,     // resets once the blank line after the header is in
    kResetAtEnd,      // resets once the end-of-data line is in, before replying
  };

  explicit CaptureServer(Mode mode = Mode::kReply, const char* address = "127.0.0.1");
  ~CaptureServer();
  CaptureServer(const CaptureServer&) = delete;
  CaptureServer& operator=(const CaptureServer&) = delete;

  std::uint16_t port() const { return port_; }
  int accepted() const { return accepted_.load(); }
  // Waits until count conversations have ended; throws after the timeout.
  std::vector<Conversation> wait_for(std::size_t count,
                                     std::chrono::seconds timeout = std::chrono::seconds(30));

 private:
  void accept_loop();
  void serve(int fd);
  static std::string reply_to(const std::string& line, int* auth_lines, bool* in_data);

  Mode mode_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::condition_variable done_;
  std::vector<Conversation> conversations_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

// A loopback port on which nothing listens (bound, never listening, so no
// other process can take it while the object lives).
class DeadPort {
 public:
  DeadPort();
  ~DeadPort();
  std::uint16_t port() const { return port_; }

 private:
  int fd_;
  std::uint16_t port_;
};

}  // namespace quarn::test
