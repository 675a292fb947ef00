#include "smtp_session.h"

#include <boost/asio/connect.hpp>
#include <netdb.h>
#include <openssl/err.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <utility>

#include "tls.h"

namespace quarn::mail {
namespace {

using boost::system::error_code;
using tcp = boost::asio::ip::tcp;

// Not yet finished: what an operation's error holds until its handler ran.
const error_code kPending = boost::asio::error::would_block;

std::string seconds_text(SmtpSession::Clock::duration duration) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

void replace_all(std::string& text, const std::string& secret, const std::string& shown) {
  if (secret.empty()) return;
  for (std::size_t at = text.find(secret); at != std::string::npos;
       at = text.find(secret, at + shown.size()))
    text.replace(at, secret.size(), shown);
}

// Letters, digits, hyphens and dots, as a host name in EHLO must be.
bool dotted_host_name(const std::string& name) {
  if (name.empty() || name.size() > 253 || name.find('.') == std::string::npos) return false;
  if (name.front() == '.' || name.back() == '.' || name.find("..") != std::string::npos)
    return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.';
  });
}

std::optional<std::string> machine_name() {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return std::nullopt;
  std::string name(buffer);
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (dotted_host_name(name)) return name;
  if (name.empty()) return std::nullopt;
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return std::nullopt;
  std::string canonical = found->ai_canonname ? found->ai_canonname : "";
  ::freeaddrinfo(found);
  if (!canonical.empty() && canonical.back() == '.') canonical.pop_back();
  if (dotted_host_name(canonical)) return canonical;
  return std::nullopt;
}

bool outside_ascii(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) > 0x7f; });
}

// One command of a transaction: what the log calls it, the line sent, and
// the reply that lets the transaction go on.
struct TransactionCommand {
  std::string step;
  std::string line;
  int expected;
};

std::vector<TransactionCommand> transaction_commands(const std::string& sender,
                                                     const std::vector<std::string>& recipients,
                                                     const std::string& mail_parameters) {
  std::vector<TransactionCommand> commands;
  commands.reserve(recipients.size() + 2);
  const std::string mail = "MAIL FROM:<" + sender + ">";
  commands.push_back({mail, mail + mail_parameters, 250});
  for (const auto& address : recipients) {
    const std::string rcpt = "RCPT TO:<" + address + ">";
    commands.push_back({rcpt, rcpt, 250});
  }
  commands.push_back({"DATA", "DATA", 354});
  return commands;
}

// The first envelope address with a byte outside ASCII (RFC 6531); ""
// when none.
std::string first_outside_ascii(const std::string& sender,
                                const std::vector<std::string>& recipients) {
  if (outside_ascii(sender)) return sender;
  for (const auto& address : recipients)
    if (outside_ascii(address)) return address;
  return "";
}

// A refusal for want of a login: 530 (RFC 4954), or an enhanced status of
// the security class (X.7.Y, RFC 3463: "5.7.1 Relay access denied").
bool wants_login(const Reply& reply) {
  if (reply.code == 530) return true;
  if (reply.lines.empty()) return false;
  const std::string& text = reply.lines.front();
  return text.size() > 3 && (text[0] == '4' || text[0] == '5') && text.compare(1, 3, ".7.") == 0;
}

}  // namespace

bool SmtpConfig::operator==(const SmtpConfig& other) const {
  return host == other.host && user == other.user && password == other.password &&
         port == other.port && timeout == other.timeout && security == other.security &&
         ca_file == other.ca_file && helo == other.helo && auth == other.auth;
}

std::string server_label(const std::string& host, std::uint16_t port) {
  const bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string address_literal(const boost::asio::ip::address& address) {
  if (address.is_v6()) {
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped())
      return "[" + boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6).to_string() + "]";
    // Without a zone: "%eth0" is no part of an address literal.
    return "[IPv6:" + boost::asio::ip::address_v6(v6.to_bytes()).to_string() + "]";
  }
  return "[" + address.to_string() + "]";
}

std::string client_name(const tcp::endpoint& local) {
  if (auto name = machine_name()) return *name;
  return address_literal(local.address());
}

// --- SmtpSession -----------------------------------------------------------------

SmtpSession::SmtpSession(SmtpConfig config, TlsOptions tls, Clock::duration close_wait)
    : config_(std::move(config)),
      tls_(std::move(tls)),
      close_wait_(close_wait),
      io_(),
      socket_(io_) {}

SmtpSession::SmtpSession(const tcp::resolver::results_type& endpoints, SmtpConfig config,
                         TlsOptions tls, Clock::duration close_wait)
    : SmtpSession(std::move(config), std::move(tls), close_wait) {
  endpoints_ = endpoints;
}

SmtpSession::~SmtpSession() {
  try {
    close();
  } catch (...) {
    // Only the library throws (memory); the connection goes with the socket.
  }
  transport_.reset();
  // OpenSSL's error queue belongs to the thread, which the server also uses
  // for its own TLS connections: nothing of this session may stay there.
  ERR_clear_error();
}

bool SmtpSession::run(Wait wait) {
  const Clock::time_point deadline = std::min(Clock::now() + config_.timeout, limit_);
  if (run_until(deadline)) return true;
  const std::string limit = seconds_text(config_.timeout);
  const FailureKind silent = FailureKind::kUnreachable;
  if (deadline >= limit_)
    fail(step_ + ": the time allowed for the whole conversation ran out", silent);
  else if (wait == Wait::kConnect)
    fail("connect: no connection within " + limit, silent);
  else if (wait == Wait::kWrite)
    fail(step_ + ": the server took no data for " + limit, silent);
  else if (wait == Wait::kHandshake)
    fail(step_ + ": not finished within " + limit, silent);
  else if (!inbox_.empty())
    // Bytes came, but no line end (a server that ends its lines in a bare LF).
    fail(step_ + ": no reply ended by CR LF within " + limit + ": " + first_bytes(inbox_),
         silent);
  else
    fail(step_ + ": no reply within " + limit, silent);
  retryable_ = false;  // a slow server gets no second message
  return false;
}

bool SmtpSession::run_until(Clock::time_point deadline) {
  io_.restart();
  io_.run_until(deadline);
  if (io_.stopped()) return true;  // the operation finished: no work left
  // The deadline: closing the socket ends the operation, whose handler
  // then runs with operation_aborted.
  drop();
  io_.restart();
  io_.run();
  return false;
}

// An exception (memory, the library) may leave at any step; until the step
// has returned, the session counts as interrupted, so that nothing more is
// sent on it: not the next row's commands into a message's data, not a QUIT
// as a password.
bool SmtpSession::open() {
  interrupted_ = true;
  const bool opened = open_session();
  interrupted_ = false;
  return opened;
}

SendResult SmtpSession::send(const OutgoingMessage& message) {
  interrupted_ = true;
  SendResult result = send_message(message);
  interrupted_ = false;
  return result;
}

bool SmtpSession::open_session() {
  // Each step may take the time-out; the open as a whole no more than all
  // of them: the connect, the greeting, EHLO and the three AUTH LOGIN
  // replies; STARTTLS adds its reply, the handshake and the second EHLO,
  // TLS from the start its handshake.
  const int tls_steps = tls_.security == Security::kStartTls ? 3
                        : tls_.security == Security::kTls    ? 1
                                                             : 0;
  limit_ = Clock::now() + config_.timeout * (6 + tls_steps);
  tcp::resolver::results_type endpoints;
  if (endpoints_) {
    endpoints = *endpoints_;
  } else {
    // Synchronous, on this thread: bounded by the system's resolver, not by
    // the time-out.
    error_code error;
    tcp::resolver resolver(io_);
    endpoints = resolver.resolve(config_.host, std::to_string(config_.port), error);
    // As the system words it ("Host not found (authoritative)").
    if (error) return fail(error.message(), FailureKind::kUnreachable), false;
  }
  if (!connect(endpoints)) return false;
  transport_ = std::make_unique<PlainTransport>(socket_);
  if (tls_.security == Security::kTls && !start_tls("TLS handshake")) return false;
  const auto greeting = read_reply("greeting");
  if (!greeting || !expect(*greeting, 220)) return false;
  error_code error;
  const tcp::endpoint local = socket_.local_endpoint(error);
  ehlo_name_ = !config_.helo.empty() ? config_.helo : client_name(local);
  if (!ehlo()) return false;
  if (tls_.security == Security::kStartTls && !starttls()) return false;
  if (!authenticate()) return false;
  ready_ = true;
  return true;
}

bool SmtpSession::connect(const tcp::resolver::results_type& endpoints) {
  step_ = "connect";
  error_code result = kPending;
  // Every address in turn, until one answers.
  boost::asio::async_connect(socket_, endpoints,
                             [&result](const error_code& error, const tcp::endpoint&) {
                               result = error;
                             });
  if (!run(Wait::kConnect)) return false;
  if (result) {
    // As the system words it ("Connection refused"), like a failed lookup.
    fail(result.message(), FailureKind::kUnreachable);
    drop();
    return false;
  }
  standing_ = true;
  connected_ = true;
  return true;
}

bool SmtpSession::ehlo() {
  const auto reply = command("EHLO " + ehlo_name_, "EHLO " + ehlo_name_);
  if (!reply || !expect(*reply, 250)) return false;
  capabilities_ = parse_capabilities(*reply);
  return true;
}

// Never a fallback to plain text: a server that does not offer STARTTLS, or
// refuses it, gets no credentials and no message.
bool SmtpSession::starttls() {
  if (!capabilities_.starttls) return fail("STARTTLS: not offered by the server"), false;
  const auto reply = command("STARTTLS", "STARTTLS");
  if (!reply || !expect(*reply, 220)) return false;
  // Bytes after the 220 came in clear, before the handshake: taken as
  // replies they would let anyone on the path answer for the server.
  if (!inbox_.empty()) {
    fail("STARTTLS: the server sent more than its reply before the handshake");
    drop();
    return false;
  }
  if (!start_tls("STARTTLS handshake")) return false;
  // RFC 3207: what the server said before TLS is forgotten.
  capabilities_ = Capabilities();
  return ehlo();
}

bool SmtpSession::start_tls(const std::string& step) {
  step_ = step;
  auto tls = tls_.context ? std::make_unique<TlsTransport>(socket_, *tls_.context, config_.host)
                          : nullptr;
  if (!tls || !tls->ready()) {
    fail(step + ": cannot check a certificate against " + config_.host);
    drop();
    return false;
  }
  tls_transport_ = tls.get();
  transport_ = std::move(tls);
  error_code result = kPending;
  tls_transport_->async_handshake([&result](const error_code& error) { result = error; });
  if (!run(Wait::kHandshake)) return false;
  if (!result) return true;
  if (const auto refused = tls_transport_->verify_failure()) {
    fail(step + ": certificate of " + config_.host + " not accepted: " + *refused);
    drop();
    return false;
  }
  fail_io(result);
  return false;
}

// With smtp-auth none no login is made, whatever the server offers (a local
// relay may offer AUTH to others). A server that offers no AUTH is a relay
// that trusts this host: the credentials would help nobody there, so none
// are sent. Either way, should it refuse a message for want of a login, the
// log says that none was made. One
// that offers AUTH without LOGIN cannot take them: the session fails and
// says so. A refusal of the login is told apart from other failures, by
// its first digit: a statement stops trying settings that cannot log in.
bool SmtpSession::authenticate() {
  if (config_.auth == Auth::kNone) {
    no_auth_note_ = true;
    return true;
  }
  if (!capabilities_.auth) {
    no_auth_note_ = !config_.user.empty() || !config_.password.empty();
    return true;
  }
  if (!capabilities_.offers("LOGIN")) {
    std::string offered;
    for (const auto& mechanism : capabilities_.auth_mechanisms) offered += " " + mechanism;
    fail("AUTH LOGIN: not offered by the server (it offers" +
         (offered.empty() ? std::string(" none") : offered) + ")");
    return false;
  }
  in_auth_ = true;
  const auto accepted = [this](const std::optional<Reply>& reply, int expected) {
    if (!reply) return false;
    if (expect(*reply, expected)) return true;
    if (classify(*reply, expected) != ReplyClass::kOutOfSequence)
      failure_kind_ = reply->code >= 500 ? FailureKind::kLoginRefused : FailureKind::kLoginDeferred;
    return false;
  };
  if (!accepted(command("AUTH LOGIN", "AUTH LOGIN"), 334) ||
      !accepted(command("AUTH LOGIN user name", base64_encode(config_.user)), 334) ||
      !accepted(command("AUTH LOGIN password", base64_encode(config_.password)), 235))
    return false;
  in_auth_ = false;
  return true;
}

SendResult SmtpSession::send_message(const OutgoingMessage& message) {
  SendResult result;
  result.failure = FailureKind::kOther;  // until a failure says what it is
  if (!ready_) {
    result.failure_text = failure_.empty() ? "the session is closed" : failure_;
    return result;
  }
  failure_.clear();
  failure_kind_ = FailureKind::kNone;
  retryable_ = false;
  wants_login_ = false;
  // Without SMTPUTF8, the domains as A-labels (the header's first bytes
  // replaced); with it, as written (RFC 6531).
  const auto* ascii = capabilities_.smtputf8 ? nullptr : &message.ascii_domains;
  const bool a_labels = ascii != nullptr && ascii->has_value();
  const std::string& sender = a_labels ? (*ascii)->sender : message.sender;
  const std::vector<std::string>& recipients = a_labels ? (*ascii)->recipients : message.recipients;
  const std::string_view header = a_labels ? std::string_view((*ascii)->header) : std::string_view();
  const std::string_view rest =
      std::string_view(message.data).substr(a_labels ? (*ascii)->header_bytes : 0);
  const std::size_t size = header.size() + rest.size();
  std::string mail_parameters;
  // Refused before anything is sent; the session stays as it was.
  if (const std::string outside = first_outside_ascii(sender, recipients); !outside.empty()) {
    if (!capabilities_.smtputf8) {
      result.failure_text =
          "<" + outside + ">: the server does not accept non-ASCII addresses (no SMTPUTF8)";
      return result;
    }
    mail_parameters += " SMTPUTF8";
  }
  if (capabilities_.size) {
    if (*capabilities_.size > 0 && size > *capabilities_.size) {
      result.status = SendResult::Status::kTooLarge;
      result.size_limit = *capabilities_.size;
      return result;
    }
    mail_parameters += " SIZE=" + std::to_string(size);
  }

  // MAIL, each RCPT, DATA, the data and the reply to it, each within the
  // time-out, and no more than all of them together; one more for a RSET.
  limit_ = Clock::now() + config_.timeout * (5 + static_cast<Clock::rep>(recipients.size()));
  if (transaction(sender, recipients, mail_parameters)) {
    if (!write("message data", header) || !write("message data", rest)) {
      result.unsent = retryable_;  // the final "." was not (all) written
      return failed(result);
    }
    const auto reply = read_reply("end of data");
    // From here on the server may have taken the message: never unsent.
    if (reply && expect(*reply, 250)) {
      result.status = SendResult::Status::kDelivered;
      return result;
    }
    // Refused: no transaction is left, the session goes on.
    if (reply && classify(*reply, 250) == ReplyClass::kRefused) ready_ = true;
    return failed(result);
  }
  result.unsent = retryable_;
  if (ready_) reset_transaction();
  return failed(result);
}

SendResult SmtpSession::failed(SendResult result) {
  result.failure_text = failure_;
  result.failure = failure_kind_;
  if (no_auth_note_ && wants_login_) {
    result.failure_text += config_.auth == Auth::kNone
                               ? " (no login was made: smtp-auth is none)"
                               : " (the server offered no AUTH over this connection; check "
                                 "smtp-security)";
    no_auth_note_ = false;  // once per session
  }
  return result;
}

// MAIL, each RCPT and DATA (RFC 5321 3.3) in one loop for both kinds of
// server, as Postfix's client does it: where the server offers PIPELINING
// (RFC 2920) all go out in one write before the first reply is read;
// otherwise each command waits for the reply to the one before, and none
// goes out after a refusal. Every command written has its reply read, in
// order. True when all were accepted and the server waits for the data.
bool SmtpSession::transaction(const std::string& sender,
                              const std::vector<std::string>& recipients,
                              const std::string& mail_parameters) {
  const std::vector<TransactionCommand> commands =
      transaction_commands(sender, recipients, mail_parameters);
  const bool pipelined = capabilities_.pipelining;
  if (pipelined) {
    std::string group;
    for (const TransactionCommand& command : commands) group += command.line + "\r\n";
    if (!write(commands.front().step, group)) return false;
  }
  std::optional<std::string> refusal;  // the first one, which the log tells
  bool refused_for_login = false;
  bool data_open = false;
  for (const TransactionCommand& command : commands) {
    if (!pipelined) {
      if (refusal) break;
      if (!write(command.step, command.line + "\r\n")) return false;
    }
    const auto reply = read_reply(command.step);
    if (!reply) return false;
    switch (classify(*reply, command.expected)) {
      case ReplyClass::kAccepted:
        data_open = &command == &commands.back();
        break;
      case ReplyClass::kRefused:
        if (!refusal) {
          refusal = command.step + " refused: " + reply_text(*reply);
          refused_for_login = wants_login(*reply);
        }
        break;
      case ReplyClass::kClosing:
        expect(*reply, command.expected);  // ends the session
        return false;
      case ReplyClass::kOutOfSequence:
        expect(*reply, command.expected);  // ends the session
        // Commands written ahead of their replies: out of step with the
        // server, which may be waiting for data.
        if (pipelined) drop();
        return false;
    }
  }
  if (!refusal) return true;
  fail(*refusal);
  wants_login_ = refused_for_login;
  // The server waits for data that would go to the recipients it took:
  // nothing is sent, the connection is dropped, and the transaction that
  // never ended is not delivered. A QUIT now would be taken as data.
  if (data_open)
    drop();
  else
    ready_ = true;  // only the transaction was refused
  return false;
}

// After a refused transaction: RSET (RFC 5321 4.1.1.5). A session whose
// RSET fails takes no more mail. The message's failure stays the one told.
void SmtpSession::reset_transaction() {
  const std::string told = failure_;
  const FailureKind kind = failure_kind_;
  const bool retryable = retryable_;
  const bool wanted = wants_login_;
  const auto reply = command("RSET", "RSET");
  if (reply && classify(*reply, 250) == ReplyClass::kClosing)
    drop();
  else if (reply && reply->code / 100 != 2)
    ready_ = false;
  failure_ = told;
  failure_kind_ = kind;
  retryable_ = retryable;
  wants_login_ = wanted;
}

std::optional<Reply> SmtpSession::command(const std::string& step, const std::string& line) {
  if (!write(step, line + "\r\n")) return std::nullopt;
  return read_reply(step);
}

bool SmtpSession::expect(const Reply& reply, int expected) {
  const ReplyClass kind = classify(reply, expected);
  if (kind == ReplyClass::kAccepted) return true;
  if (kind == ReplyClass::kOutOfSequence)
    fail(step_ + ": unexpected reply: " + reply_text(reply));
  else
    fail(step_ + " refused: " + reply_text(reply));
  wants_login_ = wants_login(reply);
  // 421: the server closes the connection (RFC 5321 3.8); no message was
  // taken at this step. Nothing more is sent on it, not even QUIT.
  retryable_ = kind == ReplyClass::kClosing;
  ready_ = false;
  if (retryable_) drop();
  return false;
}

bool SmtpSession::write(const std::string& step, std::string_view bytes) {
  step_ = step;
  while (!bytes.empty()) {
    // Each write that makes progress starts the wait again.
    const Transfer done = write_some(bytes, [this] { return run(Wait::kWrite); });
    if (done.timed_out) return false;
    if (done.error) return fail_io(done.error), false;
    bytes.remove_prefix(done.bytes);
  }
  return true;
}

SmtpSession::Transfer SmtpSession::write_some(std::string_view bytes,
                                              const std::function<bool()>& wait) {
  Transfer done;
  transport_->async_write_some(boost::asio::buffer(bytes.data(), bytes.size()),
                               [&](const error_code& error, std::size_t n) {
                                 done.error = error;
                                 done.bytes = n;
                               });
  done.timed_out = !wait();
  return done;
}

SmtpSession::Transfer SmtpSession::read_some(const std::function<bool()>& wait) {
  Transfer done;
  transport_->async_read_some(boost::asio::buffer(chunk_),
                              [&](const error_code& error, std::size_t n) {
                                done.error = error;
                                done.bytes = n;
                              });
  done.timed_out = !wait();
  if (!done.timed_out && !done.error) inbox_.append(chunk_.data(), done.bytes);
  return done;
}

std::optional<Reply> SmtpSession::read_reply(const std::string& step) {
  step_ = step;
  for (;;) {
    Reply reply;
    std::size_t used = 0;
    switch (parse_reply(inbox_, &reply, &used)) {
      case ParseStatus::kComplete:
        inbox_.erase(0, used);
        return reply;
      case ParseStatus::kMalformed:
        fail(step_ + ": not an SMTP reply: " + first_bytes(inbox_));
        drop();
        return std::nullopt;
      case ParseStatus::kUnterminated:
        fail(step_ + ": a reply line without CR LF within " + std::to_string(kMaxReplyLine) +
             " bytes: " + first_bytes(inbox_));
        drop();
        return std::nullopt;
      case ParseStatus::kIncomplete:
        break;
    }
    const Transfer done = read_some([this] { return run(Wait::kReply); });
    if (done.timed_out) return std::nullopt;
    if (done.error) return fail_io(done.error), std::nullopt;
  }
}

void SmtpSession::fail(std::string text, FailureKind kind) {
  if (in_auth_) {
    // The server's reply to the credentials may echo them.
    replace_all(text, base64_encode(config_.password), "[password]");
    replace_all(text, config_.password, "[password]");
  }
  ready_ = false;
  failure_ = std::move(text);
  failure_kind_ = kind;
}

void SmtpSession::fail_io(const error_code& error) {
  if (error == boost::asio::error::eof)
    fail(step_ + ": the server closed the connection");
  else
    fail(step_ + ": " + error.message());
  drop();
  retryable_ = true;
}

void SmtpSession::drop() {
  ready_ = false;
  standing_ = false;
  error_code ignored;
  socket_.close(ignored);
}

// Nothing is ever written after a write failed: Boost.Asio's reactor then
// stops trying sends at once and queues the next one until epoll reports
// the socket again, and its edge-triggered epoll already reported the
// error, so that send (a QUIT, the TLS close_notify) would wait out its
// whole deadline. So every failed read or write drops the connection, and
// so does a 421 (the server is closing it); close() sends nothing then.
void SmtpSession::close() {
  if (closed_) return;
  closed_ = true;
  ready_ = false;
  if (standing_ && transport_ && !interrupted_) {
    const Clock::time_point now = Clock::now();
    Clock::time_point deadline = now + close_wait_;
    if (limit_ > now) deadline = std::min(deadline, limit_);
    goodbye(deadline);
  }
  drop();
}

// QUIT and its reply (RFC 5321 4.1.1.10): a server that reads QUIT and the
// TLS close together may take the close first and never see the QUIT.
// Then the TLS close, and whatever the server still sends until it closes,
// so that neither side resets the connection. Nothing here changes an
// outcome.
void SmtpSession::goodbye(Clock::time_point deadline) {
  static const char kQuit[] = "QUIT\r\n";
  const auto until_deadline = [this, deadline] { return run_until(deadline); };
  for (std::string_view quit(kQuit, sizeof kQuit - 1); !quit.empty();) {
    const Transfer done = write_some(quit, until_deadline);
    if (done.timed_out || done.error) return;
    quit.remove_prefix(done.bytes);
  }
  const auto received = [&] {
    const Transfer done = read_some(until_deadline);
    return !done.timed_out && !done.error;
  };
  for (;;) {
    Reply reply;
    std::size_t used = 0;
    const ParseStatus status = parse_reply(inbox_, &reply, &used);
    if (status == ParseStatus::kComplete) break;
    if (status != ParseStatus::kIncomplete || !received()) return;
  }
  bool closed = false;
  transport_->async_close([&closed] { closed = true; });
  if (!run_until(deadline) || !closed) return;
  while (received()) inbox_.clear();
}

// --- KeptSession -----------------------------------------------------------------

std::optional<SendResult> KeptSession::start(const SmtpConfig& config) {
  SendResult failed;
  failed.failure = FailureKind::kOther;
  TlsOptions tls{config.security, nullptr};
  if (tls.security != Security::kNone) {
    tls.context = tls_context(config.ca_file, &failed.failure_text);
    if (!tls.context) return failed;
  }
  config_ = config;
  session_ = std::make_unique<SmtpSession>(config, std::move(tls), close_wait_);
  const bool opened = session_->open();
  if (session_->connected()) add(&StatementTally::connections);
  if (opened) return std::nullopt;
  failed.failure_text = session_->failure_text();
  failed.failure = session_->failure_kind();
  end();
  return failed;
}

SendResult KeptSession::send(const SmtpConfig& config, const OutgoingMessage& message) {
  for (const GivenUp& given_up : given_up_) {
    if (given_up.config != config) continue;
    SendResult result;
    result.status = SendResult::Status::kNotTried;
    result.failure_text = given_up.reason + kNotTriedAgain;
    result.failure = given_up.kind;
    return result;
  }
  SendResult result = deliver(config, message);
  judge(config, result);
  // OpenSSL's error queue belongs to the thread, which the server also uses
  // for its own TLS connections between rows: nothing of this row may stay.
  ERR_clear_error();
  return result;
}

void KeptSession::judge(const SmtpConfig& config, const SendResult& result) {
  if (config != judged_config_) {
    judged_config_ = config;
    unreachable_rows_ = 0;
    login_deferred_ = false;
  }
  const FailureKind kind = result.delivered() ? FailureKind::kNone : result.failure;
  unreachable_rows_ = kind == FailureKind::kUnreachable ? unreachable_rows_ + 1 : 0;
  const bool deferred_again = login_deferred_ && kind == FailureKind::kLoginDeferred;
  login_deferred_ = kind == FailureKind::kLoginDeferred;
  if (kind == FailureKind::kLoginRefused || deferred_again || unreachable_rows_ >= 2)
    given_up_.push_back({config, result.failure_text, kind});
}

SendResult KeptSession::deliver(const SmtpConfig& config, const OutgoingMessage& message) {
  if (session_ && (config_ != config || !session_->usable())) end();
  const bool kept = session_ != nullptr;
  if (!session_) {
    if (auto failed = start(config)) return std::move(*failed);
  }
  SendResult result = session_->send(message);
  if (kept && !result.delivered() && result.unsent) {
    note_retry(config, result);
    end();
    if (auto failed = start(config)) return std::move(*failed);
    result = session_->send(message);
  }
  if (!session_->usable()) end();
  return result;
}

void KeptSession::note_retry(const SmtpConfig& config, const SendResult& failed) {
  add(&StatementTally::retries);
  // What happened, in the words of the row's failure line had there been no
  // second try; held back like those after ten of a kind.
  const std::string line = server_label(config.host, config.port) + ": " + failed.failure_text +
                           "; 1 row sent again over a new connection";
  if (log_cap_.admit(line)) log_line(kFunctionName, Severity::kNote, line);
}

KeptSession::~KeptSession() {
  try {
    end();
  } catch (...) {
    // As in ~SmtpSession: nothing may leave velmar_deinit.
  }
}

void KeptSession::end() {
  if (!session_) return;
  session_->close();
  session_.reset();
}

namespace {

// The counts of a tally, in one order, and the process's sums of them.
constexpr long StatementTally::*kCounts[] = {
    &StatementTally::rows,      &StatementTally::sent,        &StatementTally::refused,
    &StatementTally::failed,    &StatementTally::not_tried,   &StatementTally::connections,
    &StatementTally::retries};
std::atomic<long> process_counts[std::size(kCounts)];

}  // namespace

StatementTally process_tally() {
  StatementTally tally;
  for (std::size_t i = 0; i < std::size(kCounts); ++i)
    tally.*kCounts[i] = process_counts[i].load(std::memory_order_relaxed);
  return tally;
}

void KeptSession::add(long StatementTally::*count) {
  ++(tally_.*count);
  for (std::size_t i = 0; i < std::size(kCounts); ++i)
    if (kCounts[i] == count) process_counts[i].fetch_add(1, std::memory_order_relaxed);
}

void KeptSession::count(RowFate fate) {
  add(&StatementTally::rows);
  switch (fate) {
    case RowFate::kSent: add(&StatementTally::sent); break;
    case RowFate::kRefused: add(&StatementTally::refused); break;
    case RowFate::kFailed: add(&StatementTally::failed); break;
    case RowFate::kNotTried: add(&StatementTally::not_tried); break;
  }
}

std::optional<std::string> KeptSession::finish() {
  end();
  // A statement of one row has said all in that row's line.
  if (tally_.rows < 2 || (tally_.refused == 0 && tally_.failed == 0 && tally_.not_tried == 0 &&
                          tally_.retries == 0 && tally_.sent <= 100))
    return std::nullopt;
  const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_)
                          .count() / 100;
  std::string summary =
      "statement summary: " + std::to_string(tally_.rows) + " rows, " +
      std::to_string(tally_.sent) + " sent, " + std::to_string(tally_.refused) + " refused, " +
      std::to_string(tally_.failed) + " failed, " + std::to_string(tally_.not_tried) +
      " not tried, " + std::to_string(tally_.retries) + " retried, " +
      std::to_string(tally_.connections) + " connections, " +
      std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
  if (log_cap_.held_back() > 0)
    summary += ", " + std::to_string(log_cap_.held_back()) + " repeated failure lines not written";
  return summary;
}

}  // namespace quarn::mail
