// velmar inside a real MariaDB server against network faults on loopback: no
// listener, a name that does not resolve, a listener that never greets or
// closes at once, a server that refuses a recipient, one that stops reading
// in the middle of a large message and one that breaks the connection
// there. Each gives the promised result within its bound (smtp-timeout is
// 2 s here), and the connection's thread is free again for the next
// statement; the test prints how long it was held. No packet leaves the
// machine: the unresolvable name is one the resolver refuses before asking
// any name server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "mariadb_server.h"
#include "smtp_peer.h"
#include "working_dir.h"

namespace {

using quarn::test::Connection;
using quarn::test::MariaDbServer;
using Seconds = std::chrono::duration<double>;

const std::string kSendError = "There was an error sending the message.";
// A label longer than 63 bytes cannot be put into a DNS query, so the
// lookup fails inside the resolver library; .invalid is reserved anyway.
const std::string kUnresolvable = std::string(70, 'a') + ".invalid";

// How velmar's lines name the server.
std::string at_server(std::uint16_t port) { return "127.0.0.1:" + std::to_string(port) + ": "; }

// Accepts one connection, never writes and never reads; closes it once
// `hold` has passed.
class SilentListener {
 public:
  explicit SilentListener(std::chrono::milliseconds hold) : hold_(hold) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int buffer = 64 * 1024;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd_, 4) != 0)
      throw std::runtime_error("silent listener: bind/listen failed");
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~SilentListener() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  std::uint16_t port() const { return port_; }
  bool accepted() const { return accepted_; }

 private:
  void run() {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int client = -1;
    while (!stop_ && client < 0 && std::chrono::steady_clock::now() < give_up) {
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, 20) > 0) client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (client < 0) return;
    accepted_ = true;
    const auto until = std::chrono::steady_clock::now() + hold_;
    while (!stop_ && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::close(client);
  }

  std::chrono::milliseconds hold_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false}, accepted_{false};
  std::thread thread_;
};

class NetworkFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    quarn::test::clear_settings();
    server_ = new MariaDbServer;
    server_->install_functions();
  }
  static void TearDownTestSuite() { delete server_; }
  void TearDown() override {
    ASSERT_TRUE(server_->alive());
    EXPECT_EQ(Connection(server_->socket_path()).value("SELECT 6 * 7"), "42");
  }

  // Points velmar at host:port through the settings file.
  static void configure(const std::string& host, std::uint16_t port) {
    quarn::test::write_file(server_->data_dir() + "/quarn_udf.ini",
                            "[email]\nsmtp-host = " + host + "\nsmtp-port = " +
                                std::to_string(port) +
                                "\nsmtp-user = u\nsmtp-password = p\nsmtp-timeout = 2\n");
    Connection db(server_->socket_path());
    db.value("SELECT udf_loadini(TRUE)");
    ASSERT_EQ(db.value("SELECT udf_getenvvar('UDF_SMTPPORT')"), std::to_string(port));
  }

  struct Outcome {
    std::optional<std::string> value;
    std::string log;
    double held;  // seconds the statement kept its connection's thread
  };
  // One velmar call on a connection of its own; meanwhile another
  // connection must still be answered at once.
  static Outcome send(const std::string& case_name, std::size_t body_bytes) {
    const std::size_t log_before = server_->error_log().size();
    // Lines of 100 bytes: servers take no line over 998.
    const std::string sql =
        "SELECT velmar('t@x.test', 'f@x.test', 's', REPEAT(CONCAT(REPEAT('x', 98), CHAR(13, 10)), " +
        std::to_string((body_bytes + 99) / 100) + "))";
    const auto start = std::chrono::steady_clock::now();
    auto call = std::async(std::launch::async, [&] {
      Connection db(server_->socket_path());
      auto value = db.value(sql);
      // The connection's thread is free for its next statement.
      EXPECT_EQ(db.value("SELECT 1"), "1") << case_name;
      return value;
    });
    double other = 0;
    if (call.wait_for(std::chrono::seconds(1)) == std::future_status::timeout) {
      const auto asked = std::chrono::steady_clock::now();
      EXPECT_EQ(Connection(server_->socket_path()).value("SELECT 1"), "1");
      other = Seconds(std::chrono::steady_clock::now() - asked).count();
      EXPECT_LT(other, 2.0) << case_name << ": the server stopped answering others";
    }
    Outcome outcome{call.get(), "", Seconds(std::chrono::steady_clock::now() - start).count()};
    outcome.log = quarn::test::log_messages(server_->error_log().substr(log_before), "velmar");
    std::printf("%-40s -> %-40s held %6.2f s%s%s%s\n", case_name.c_str(),
                outcome.value ? outcome.value->c_str() : "NULL", outcome.held,
                other > 0 ? " (another connection answered meanwhile)" : "",
                outcome.log.empty() ? "" : "; log: ",
                outcome.log.substr(0, outcome.log.find('\n')).c_str());
    return outcome;
  }

  static MariaDbServer* server_;
};

MariaDbServer* NetworkFaults::server_ = nullptr;

TEST_F(NetworkFaults, PortWithoutListener) {
  quarn::test::DeadPort dead;
  configure("127.0.0.1", dead.port());
  const Outcome got = send("port without listener", 100);
  EXPECT_EQ(got.value, kSendError);
  EXPECT_EQ(got.log, "127.0.0.1:" + std::to_string(dead.port()) + ": Connection refused\n");
  EXPECT_LT(got.held, 5.0);
}

TEST_F(NetworkFaults, HostNameThatDoesNotResolve) {
  configure(kUnresolvable, 25);
  const Outcome got = send("host name that does not resolve", 100);
  EXPECT_EQ(got.value, kSendError);
  // One line: the server, then the resolver's reason.
  ASSERT_EQ(got.log.rfind(kUnresolvable + ":25: ", 0), 0u) << got.log;
  EXPECT_EQ(got.log.find('\n'), got.log.size() - 1) << got.log;
  EXPECT_LT(got.held, 5.0);
}

TEST_F(NetworkFaults, ListenerThatNeverGreets) {
  SilentListener listener(std::chrono::seconds(30));
  configure("127.0.0.1", listener.port());
  const Outcome got = send("listener never greets", 100);
  EXPECT_TRUE(listener.accepted());
  EXPECT_EQ(got.value, kSendError);
  EXPECT_EQ(got.log, at_server(listener.port()) + "greeting: no reply within 2 s\n");
  EXPECT_GE(got.held, 1.8);
  EXPECT_LT(got.held, 5.0);
}

TEST_F(NetworkFaults, ListenerThatClosesAtOnce) {
  SilentListener listener(std::chrono::milliseconds(0));
  configure("127.0.0.1", listener.port());
  const Outcome got = send("listener closes at once", 100);
  EXPECT_EQ(got.value, kSendError);
  EXPECT_EQ(got.log, at_server(listener.port()) + "greeting: the server closed the connection\n");
  EXPECT_LT(got.held, 2.0);
}

TEST_F(NetworkFaults, ServerThatRefusesTheRecipient) {
  quarn::test::ScriptedSmtpServer smtp("u", "p");
  smtp.behave(R"({"reply": {"RCPT": "550 5.1.1 <t@x.test>: Recipient address rejected"}})");
  configure("127.0.0.1", smtp.port());
  const Outcome got = send("server refuses the recipient", 100);
  EXPECT_EQ(got.value, kSendError);
  EXPECT_EQ(got.log, at_server(smtp.port()) +
                        "RCPT TO:<t@x.test> refused: 550 5.1.1 <t@x.test>: Recipient address rejected\n");
  EXPECT_LT(got.held, 2.0);
  EXPECT_FALSE(smtp.next_session().stored);
}

TEST_F(NetworkFaults, ServerThatStopsReadingInALargeMessage) {
  // Greets and answers, then takes nothing of the data: the write makes no
  // progress once the buffers are full, and the deadline ends the call.
  quarn::test::ScriptedSmtpServer smtp("u", "p");
  smtp.behave(R"({"stall": "BODY", "stall_seconds": 3})");
  configure("127.0.0.1", smtp.port());
  const Outcome got = send("server stops reading, 16 MiB body", 16 << 20);
  EXPECT_EQ(got.value, kSendError);
  EXPECT_EQ(got.log, at_server(smtp.port()) + "message data: the server took no data for 2 s\n");
  EXPECT_GE(got.held, 1.8);
  EXPECT_LT(got.held, 5.0);
  EXPECT_FALSE(smtp.next_session().stored);
}

TEST_F(NetworkFaults, ListenerThatBreaksTheConnectionMidMessage) {
  // Takes everything up to the end of the header, then resets while the
  // body is being written: an ordinary failure with the cause.
  quarn::test::ScriptedSmtpServer server("u", "p");
  server.behave(R"({"reset": "BODY"})");
  configure("127.0.0.1", server.port());
  const Outcome got = send("listener resets mid-message, 16 MiB body", 16 << 20);
  EXPECT_EQ(got.value, kSendError);
  EXPECT_EQ(got.log.rfind(at_server(server.port()) + "message data: ", 0), 0u) << got.log;
  EXPECT_LT(got.held, 5.0);
  EXPECT_NE(server.next_session().received.find("\r\nDATA\r\nSubject: s\r\n"), std::string::npos);
}

}  // namespace
