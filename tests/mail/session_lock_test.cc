// The resolver reads the environment on its own thread, so a session holds
// the environment lock for reading while its lookup may run, and releases it
// once the lookup's handler has run: a reload must not wait for a slow
// conversation.
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

quarn::mail::OutgoingMessage message() {
  return quarn::mail::outgoing_message({"from@example.org", "to@example.org", "s", "b", false},
                                      {"Thu, 01 Jan 2026 00:00:00 +0000", "<1@example.org>"});
}

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

TEST(SessionLookup, HoldsTheEnvironmentLockUntilTheLookupIsHandled) {
  SilentListener server;
  SmtpSession session("127.0.0.1", server.port(), "user", "password");
  EXPECT_FALSE(writer_could_enter()) << "the lookup may be reading the environment";

  // While the session waits for the server to close, a writer gets in.
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
  session.send(message());
  watcher.join();
  EXPECT_TRUE(session.failed()) << "no server ever answered";
  EXPECT_TRUE(entered) << "the lock was still held after the lookup";
}

TEST(SessionLookup, ReleasesTheLockOnEveryOtherWayOut) {
  {
    SilentListener server;
    SmtpSession never_sent("127.0.0.1", server.port(), "user", "password");
  }
  EXPECT_TRUE(writer_could_enter()) << "a session destroyed without send()";
  {
    SmtpSession unresolvable("no-such-host.invalid", 25, "user", "password");
    unresolvable.send(message());
    EXPECT_TRUE(unresolvable.failed());
    EXPECT_TRUE(writer_could_enter()) << "after a failed lookup";
  }
}

}  // namespace
