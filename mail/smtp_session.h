// SMTP sessions (RFC 5321): look up the server, connect to the first of its
// addresses that answers, greet, log in, and carry one message after another
// over the same connection, reading and checking every reply. A message is
// delivered only after the server's 2xx to the end of its data. Plain, or
// encrypted after STARTTLS or from the first byte.
// Each step is a straight call on the calling thread's own I/O context,
// bounded by its deadline (Boost.Asio's blocking-client style: start one
// operation, run the context until it is done or the deadline passes).
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "log.h"
#include "message.h"
#include "smtp_reply.h"
#include "transport.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace boost::asio::ssl {
class context;
}

namespace quarn::mail {

// How long a session waits for a connect, a reply, or a write that makes
// no progress; and, when it ends, for the reply to QUIT and the server's
// close together.
constexpr std::chrono::seconds kDefaultTimeout{30};
constexpr std::chrono::seconds kCloseWait{1};

class TlsTransport;

// How the conversation is protected: none (plain TCP), starttls (plain
// until the server's STARTTLS, RFC 3207) or tls (from the first byte).
enum class Security { kNone, kStartTls, kTls };

// Whether the session logs in: AUTH LOGIN where the server offers AUTH, or
// never (a relay that takes this host's mail without a login).
enum class Auth { kLogin, kNone };

// The SQL function whose lines the sessions write.
inline constexpr char kFunctionName[] = "velmar";

struct TlsOptions {
  Security security = Security::kNone;
  // Trust and protocol settings; required unless security is kNone.
  std::shared_ptr<boost::asio::ssl::context> context;
};

// The settings of one call: what a session is opened with. A statement
// keeps its session for the next row only while these stay the same.
struct SmtpConfig {
  std::string host;
  std::string user;
  std::string password;
  std::uint16_t port = 25;
  std::chrono::seconds timeout = kDefaultTimeout;
  Security security = Security::kNone;
  std::string ca_file;  // empty: the system's trust store
  std::string helo;     // the EHLO argument; empty: client_name()
  Auth auth = Auth::kLogin;  // with kNone, user and password are not used

  bool operator==(const SmtpConfig& other) const;
  bool operator!=(const SmtpConfig& other) const { return !(*this == other); }
};

// "host:port" for the log; an IPv6 address in brackets.
std::string server_label(const std::string& host, std::uint16_t port);

// The EHLO argument when smtp-helo is not set (RFC 5321 4.1.1.1): the
// machine's fully-qualified name (the host name, or where it has no dot its
// canonical name through the resolver), else an address literal of the
// connection's local address ("[192.0.2.7]", "[IPv6:2001:db8::7]").
std::string client_name(const boost::asio::ip::tcp::endpoint& local);
std::string address_literal(const boost::asio::ip::address& address);

// Why a session failed, as far as a statement's later rows care.
enum class FailureKind {
  kNone,
  // The lookup or the connect failed, or the server did not answer (or
  // take data) within the deadline.
  kUnreachable,
  kLoginRefused,   // a 5xx reply to AUTH LOGIN, the user name or the password
  kLoginDeferred,  // a 4xx reply there (454 temporary failure, 421)
  kOther,          // a refused message or recipient, a broken connection, TLS, ...
};

// What became of one message.
struct SendResult {
  // kNotTried: the statement gave up on these settings before this row
  // (KeptSession); nothing was sent.
  enum class Status { kDelivered, kFailed, kTooLarge, kNotTried };
  Status status = Status::kFailed;
  std::string failure_text;      // kFailed, kNotTried: the step and the server's reply, or the cause
  FailureKind failure = FailureKind::kNone;
  std::uint64_t size_limit = 0;  // kTooLarge: what the server's SIZE allows
  // The server cannot have taken the message: the connection broke, or the
  // server answered 421, before the message's final "." was written.
  bool unsent = false;

  bool delivered() const { return status == Status::kDelivered; }
};

// One connection: open() once, send() any number of times while usable(),
// close() at the end (also from the destructor). Every call runs on the
// calling thread and returns within its bounds; failures are recorded,
// never thrown (exceptions come only from the library: memory, threads).
class SmtpSession {
 public:
  using tcp = boost::asio::ip::tcp;
  using Clock = std::chrono::steady_clock;

  SmtpSession(SmtpConfig config, TlsOptions tls = {}, Clock::duration close_wait = kCloseWait);
  // Tries these addresses in turn instead of looking the host up; the host
  // is still the name the certificate must bear.
  SmtpSession(const tcp::resolver::results_type& endpoints, SmtpConfig config, TlsOptions tls = {},
              Clock::duration close_wait = kCloseWait);
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;
  ~SmtpSession();

  // Lookup, connect, greeting, EHLO, STARTTLS or TLS, AUTH LOGIN when
  // offered (and smtp-auth is login). False with failure_text() when the
  // session cannot carry mail.
  bool open();
  // One transaction: MAIL, RCPT, DATA (in one write where the server offers
  // PIPELINING), the data. After a refusal the transaction is reset (RSET)
  // and the session stays usable when the connection allows. To a server
  // without SMTPUTF8 the message goes with its domains as A-labels, where it
  // has that form.
  SendResult send(const OutgoingMessage& message);
  // Whether the connection can take another message: not after an open or
  // a transaction that an exception left half done, whose server may be
  // waiting for anything (the data of a message, a password).
  bool usable() const { return ready_ && !interrupted_; }
  // Whether a TCP connection was made (a connect that failed made none).
  bool connected() const { return connected_; }
  // Where the connection still stands: QUIT, its reply, the TLS close, then
  // the wait for the server's close, all within the close wait (and within
  // what is left of the bound of the open or transaction under way). On a
  // connection known to be broken, or left by an exception, nothing is
  // sent. At most once.
  void close();

  const std::string& failure_text() const { return failure_; }
  FailureKind failure_kind() const { return failure_kind_; }
  // What the server's (last) EHLO reply advertised.
  const Capabilities& capabilities() const { return capabilities_; }
  // The EHLO argument sent.
  const std::string& ehlo_name() const { return ehlo_name_; }

 private:
  enum class Wait { kConnect, kWrite, kReply, kHandshake };

  // Runs the I/O context until the operation just started has finished, or
  // its deadline passes: then the connection is dropped and the failure
  // recorded. False on the deadline.
  bool run(Wait wait);
  bool run_until(Clock::time_point deadline);

  bool open_session();
  SendResult send_message(const OutgoingMessage& message);
  bool connect(const tcp::resolver::results_type& endpoints);
  bool start_tls(const std::string& step);
  bool ehlo();
  bool starttls();
  bool authenticate();
  bool transaction(const std::string& sender, const std::vector<std::string>& recipients,
                   const std::string& mail_parameters);
  void reset_transaction();

  // line + CR LF, then its reply; nullopt when none came (failure recorded).
  std::optional<Reply> command(const std::string& step, const std::string& line);
  // Whether the reply's first digit is that of expected; else the failure
  // is recorded and the session takes no more mail. A 421 drops the
  // connection at once: the server is closing it.
  bool expect(const Reply& reply, int expected);
  bool write(const std::string& step, std::string_view bytes);
  // One write or read of the transport, run until it is done or `wait`
  // (run or run_until) gives up; what is read goes into the inbox.
  struct Transfer {
    boost::system::error_code error;
    std::size_t bytes = 0;
    bool timed_out = false;
  };
  Transfer write_some(std::string_view bytes, const std::function<bool()>& wait);
  Transfer read_some(const std::function<bool()>& wait);
  std::optional<Reply> read_reply(const std::string& step);
  // QUIT and what follows it (close()).
  void goodbye(Clock::time_point deadline);
  // The result of a failed send, with the recorded failure.
  SendResult failed(SendResult result);

  void fail(std::string text, FailureKind kind = FailureKind::kOther);
  void fail_io(const boost::system::error_code& error);
  void drop();

  SmtpConfig config_;
  TlsOptions tls_;
  Clock::duration close_wait_;
  std::optional<tcp::resolver::results_type> endpoints_;  // given instead of a lookup
  // The I/O context comes before everything bound to it, so that those are
  // destroyed first.
  boost::asio::io_context io_;
  tcp::socket socket_;
  std::unique_ptr<Transport> transport_;
  TlsTransport* tls_transport_ = nullptr;  // transport_, once TLS has started

  Capabilities capabilities_;
  std::string ehlo_name_;
  std::string step_;              // what the session waits for, for the log
  Clock::time_point limit_;       // the bound on the open or the transaction
  std::string inbox_;             // received, not yet taken as a reply
  std::array<char, 16384> chunk_{};
  bool in_auth_ = false;          // replies may echo credentials: hidden in the log
  bool ready_ = false;            // open, and no transaction half done
  bool standing_ = false;         // the connection can still take a QUIT
  bool connected_ = false;
  bool interrupted_ = false;      // an exception left open() or send() under way
  bool closed_ = false;
  bool retryable_ = false;        // the last failure: broken connection or 421
  // No login was made (smtp-auth none, or credentials set but no AUTH
  // offered): the first message of the session refused for want of one
  // says so.
  bool no_auth_note_ = false;
  bool wants_login_ = false;      // the last failure: a refusal for want of a login
  std::string failure_;
  FailureKind failure_kind_ = FailureKind::kNone;
};

// What a statement did, for its summary line.
// The one place where rows, connections and retries are counted.
struct StatementTally {
  long rows = 0;
  long sent = 0;
  long refused = 0;    // refused by velmar before any connection: arguments, settings, size
  long failed = 0;     // tried and not delivered: refused by the server, or it was not reached
  long not_tried = 0;  // failed at once: the statement gave up on their settings
  long retries = 0;    // rows sent again over a new connection, the kept one having failed them
  long connections = 0;  // made: a lookup or connect that failed made none
};

// The counts of every statement's tally since the library was loaded, for
// velmar_status(): each count a statement makes is added to them as it is
// made, without a lock.
StatementTally process_tally();

// What became of a row, for the tally.
enum class RowFate { kSent, kRefused, kFailed, kNotTried };

// Appended to the reason of the rows a statement no longer tries.
constexpr char kNotTriedAgain[] = " (not tried again in this statement)";

// The session a statement keeps from row to row (velmar's per-statement
// state): opened by the first row, used by each later row whose settings
// are the same, replaced when they differ or the connection is no longer
// usable, and closed at the end of the statement.
//
// A statement gives up on settings that cannot work, so that a wrong
// password is not tried on every row (accounts get locked) and a dead
// server does not cost the deadline on every row: after a 5xx to the
// login, or a second 4xx to it on the next row, or after two rows in a row
// whose server could not be reached or did not answer in time, the later
// rows with the same settings fail at once (kNotTried) with the same
// reason and kNotTriedAgain.
class KeptSession {
 public:
  using Clock = SmtpSession::Clock;
  explicit KeptSession(Clock::duration close_wait = kCloseWait)
      : close_wait_(close_wait), started_(Clock::now()) {}
  ~KeptSession();
  KeptSession(const KeptSession&) = delete;
  KeptSession& operator=(const KeptSession&) = delete;

  // Sends over the kept session, or a new one. A message that failed on a
  // kept connection before its final "." was written (the server closed the
  // idle connection, answered 421, or the write failed) is sent once more
  // over a new one, and a [Note] line says why; never after its final ".".
  SendResult send(const SmtpConfig& config, const OutgoingMessage& message);
  // QUIT and close, if a session is open.
  void end();

  // Counts a row of the statement.
  void count(RowFate fate);
  // end(), then the statement's summary line: for a statement of more than
  // one row, when a row was not sent, was sent again, or more than 100 were
  // sent; else nullopt.
  std::optional<std::string> finish();
  const StatementTally& tally() const { return tally_; }
  // The statement's failure lines and retry notes, ten of a kind.
  RepeatCap& log_cap() { return log_cap_; }

 private:
  std::optional<SendResult> start(const SmtpConfig& config);
  // Counts the row sent again after a kept connection failed, and says so.
  void note_retry(const SmtpConfig& config, const SendResult& failed);
  SendResult deliver(const SmtpConfig& config, const OutgoingMessage& message);
  // What the row's result means for the later rows with its settings.
  void judge(const SmtpConfig& config, const SendResult& result);
  // One more of a count: the statement's, and the process's.
  void add(long StatementTally::*count);

  // Settings given up on, with the reason their rows give.
  struct GivenUp {
    SmtpConfig config;
    std::string reason;
    FailureKind kind;
  };

  Clock::duration close_wait_;
  Clock::time_point started_;
  SmtpConfig config_;
  std::unique_ptr<SmtpSession> session_;
  StatementTally tally_;
  RepeatCap log_cap_;
  std::vector<GivenUp> given_up_;
  // The rows just before, with these settings: how many in a row found the
  // server unreachable, and whether the last one's login was deferred.
  SmtpConfig judged_config_;
  int unreachable_rows_ = 0;
  bool login_deferred_ = false;
};

}  // namespace quarn::mail
