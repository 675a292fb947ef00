// The resolver reads the environment, so a session holds the environment
// lock for reading during its lookup, and only then: a reload must not wait
// for a slow conversation.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "env.h"
#include "smtp_session.h"

namespace {

using namespace std::chrono_literals;
using quarn::mail::SmtpSession;

// Asked from another thread: a thread's own read hold would answer for it.
bool writer_could_enter() {
  return std::async(std::launch::async, [] {
           if (pthread_rwlock_trywrlock(&quarn::env_lock) != 0) return false;
           pthread_rwlock_unlock(&quarn::env_lock);
           return true;
         })
      .get();
}

// Listens on loopback and never accepts: the kernel completes the handshake,
// and the session waits for a greeting; closing the listener resets the
// connection, which ends that wait.
class SilentListener {
 public:
  SilentListener() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd_, 4) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("loopback listener");
    port_ = ntohs(address.sin_port);
  }
  ~SilentListener() { close(); }
  std::uint16_t port() const { return port_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

quarn::mail::SmtpConfig config(const std::string& host, std::uint16_t port) {
  quarn::mail::SmtpConfig config;
  config.host = host;
  config.port = port;
  config.user = "user";
  config.password = "password";
  return config;
}

TEST(SessionLookup, HoldsTheEnvironmentLockOnlyForTheLookup) {
  // While the session waits for the greeting, a writer gets in.
  SilentListener server;
  SmtpSession session(config("127.0.0.1", server.port()));
  std::atomic<bool> entered{false};
  std::thread watcher([&] {
    const auto give_up = std::chrono::steady_clock::now() + 5s;
    while (!entered && std::chrono::steady_clock::now() < give_up) {
      if (writer_could_enter())
        entered = true;
      else
        std::this_thread::sleep_for(5ms);
    }
    server.close();
  });
  EXPECT_FALSE(session.open()) << "no server ever answered";
  watcher.join();
  EXPECT_TRUE(entered) << "the lock was held after the lookup";

  SmtpSession unresolvable(config("no-such-host.invalid", 25));
  EXPECT_FALSE(unresolvable.open());
  EXPECT_TRUE(writer_could_enter()) << "after a failed lookup";
}

}  // namespace
