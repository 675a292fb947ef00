// One SMTP conversation (RFC 5321): look up the server, connect to the first
// of its addresses that answers, and carry one message, reading and checking
// every reply. "OK" only after the server's 2xx to the end of the data.
// Plain, or encrypted after STARTTLS or from the first byte.
// Everything runs on the calling thread's own I/O context; every wait is
// bounded.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "env.h"
#include "message.h"
#include "smtp_reply.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace boost::asio::ssl {
class context;
}

namespace quarn::mail {

// How long the session waits for a connect, a reply, or a write that makes
// no progress; and, after the outcome is known, for the server to close.
constexpr std::chrono::seconds kDefaultTimeout{30};
constexpr std::chrono::seconds kCloseWait{10};

// The bytes under the conversation: plain TCP, or TLS over the same socket
// (from the start, or after STARTTLS in the middle of the conversation).
class Transport {
 public:
  using Handler = std::function<void(const boost::system::error_code&, std::size_t)>;
  virtual ~Transport() = default;
  virtual void async_read_some(boost::asio::mutable_buffer buffer, Handler handler) = 0;
  virtual void async_write_some(boost::asio::const_buffer buffer, Handler handler) = 0;
  // Says that nothing more will be sent; done runs once that is out.
  virtual void async_close(std::function<void()> done) = 0;
};

class TlsTransport;

// How the conversation is protected: none (plain TCP), starttls (plain
// until the server's STARTTLS, RFC 3207) or tls (from the first byte).
enum class Security { kNone, kStartTls, kTls };

struct TlsOptions {
  Security security = Security::kNone;
  // Trust and protocol settings; required unless security is kNone.
  std::shared_ptr<boost::asio::ssl::context> context;
};

// One message per session, one session per call. The lookup starts in the
// constructor; send() runs lookup, connect and conversation on the calling
// thread, which must be the constructing thread.
class SmtpSession {
 public:
  using tcp = boost::asio::ip::tcp;
  using Clock = std::chrono::steady_clock;

  SmtpSession(std::string host, std::uint32_t port, std::string user, std::string password,
              Clock::duration timeout = kDefaultTimeout, Clock::duration close_wait = kCloseWait,
              TlsOptions tls = {});
  // Tries these addresses in turn instead of looking host up; host is still
  // the argument of EHLO and the name the certificate must bear.
  SmtpSession(const tcp::resolver::results_type& endpoints, std::string host, std::string user,
              std::string password, Clock::duration timeout = kDefaultTimeout,
              Clock::duration close_wait = kCloseWait, TlsOptions tls = {});
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;
  ~SmtpSession();

  // At most once. Failures are recorded, never thrown; exceptions come only
  // from the library (memory, threads).
  void send(const OutgoingMessage& message);
  // True unless the server took the message with a 2xx after its data.
  bool failed() const { return !delivered_; }
  // One line: the step and the server's reply or the cause.
  std::string failure_text() const { return failure_text_; }
  // What the server's EHLO reply advertised.
  const Capabilities& capabilities() const { return capabilities_; }

 private:
  enum class Wait { kConnect, kWrite, kReply, kHandshake };

  // The members set, nothing started yet: what both constructors share.
  struct Unstarted {};
  SmtpSession(Unstarted, std::string host, std::uint32_t port, std::string user,
              std::string password, Clock::duration timeout, Clock::duration close_wait,
              TlsOptions tls);
  using Next = std::function<void()>;
  using ReplyNext = std::function<void(const Reply&)>;

  void on_resolved(const boost::system::error_code& error,
                   const tcp::resolver::results_type& endpoints);
  void connect(const tcp::resolver::results_type& endpoints);
  void on_connected(const boost::system::error_code& error);
  void on_greeting(const Reply& reply);
  void ehlo();
  void on_ehlo(const Reply& reply);
  void starttls();
  // Handshake over the connection, then next; a failure ends the call.
  void start_tls(std::string step, Next next);
  void authenticate();
  void mail_transaction();
  void pipelined_transaction();
  void group_reply(std::size_t index);
  void recipient(std::size_t index);
  void data();
  void write_data();
  void on_delivered();

  // Writes line + CR LF, reads the reply and goes on with next when its
  // first digit is that of expected; a refusal ends the conversation.
  void command(std::string step, const std::string& line, int expected, ReplyNext next);
  bool accepted(const Reply& reply, int expected);
  void write(std::string step, std::string_view bytes, Next next);
  void write_more();
  void read_reply(std::string step, ReplyNext next);
  void parse_or_read();

  void arm(Wait wait);
  void on_deadline(const boost::system::error_code& error);
  void fail(std::string text);
  void fail_io(const boost::system::error_code& error);
  void close_politely();
  void drain();
  void close_now();

  std::string host_;
  std::uint32_t port_;
  std::string user_;
  std::string password_;
  Clock::duration timeout_;
  Clock::duration close_wait_;
  TlsOptions tls_;
  // The resolver reads the environment on its own thread: a read hold from
  // the lookup's start until its handler runs (or, without send(), until the
  // I/O context below has joined that thread).
  quarn::EnvReadHold lookup_hold_;
  // The I/O context comes before everything bound to it, so that those are
  // destroyed first.
  boost::asio::io_context io_;
  tcp::resolver resolver_;
  tcp::socket socket_;
  boost::asio::steady_timer deadline_;
  std::unique_ptr<Transport> transport_;
  TlsTransport* tls_transport_ = nullptr;  // transport_, once TLS has started

  const OutgoingMessage* message_ = nullptr;
  Capabilities capabilities_;
  std::string step_;              // what the conversation waits for, for the log
  Wait waiting_ = Wait::kConnect;
  Clock::time_point call_limit_;  // the bound on the whole conversation
  std::string outbox_;            // command lines being written
  std::vector<std::string> group_;  // the commands of a pipelined group
  std::string_view unwritten_;
  Next after_write_;
  ReplyNext after_reply_;
  std::string inbox_;             // received, not yet taken as a reply
  std::array<char, 4096> chunk_{};
  bool in_auth_ = false;          // replies may echo credentials: hidden in the log
  bool decided_ = false;          // the outcome is known; only closing is left
  bool closing_ = false;
  bool delivered_ = false;
  std::string failure_text_;
};

}  // namespace quarn::mail
