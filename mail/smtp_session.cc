#include "smtp_session.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <openssl/err.h>

#include <algorithm>
#include <utility>

#include "tls.h"

namespace quarn::mail {
namespace {

using boost::system::error_code;
using tcp = boost::asio::ip::tcp;

class PlainTransport : public Transport {
 public:
  explicit PlainTransport(tcp::socket& socket) : socket_(socket) {}
  void async_read_some(boost::asio::mutable_buffer buffer, Handler handler) override {
    socket_.async_read_some(buffer, std::move(handler));
  }
  void async_write_some(boost::asio::const_buffer buffer, Handler handler) override {
    socket_.async_write_some(buffer, std::move(handler));
  }
  void async_close(std::function<void()> done) override {
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    done();
  }

 private:
  tcp::socket& socket_;
};

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

}  // namespace

SmtpSession::SmtpSession(Unstarted, std::string host, std::uint32_t port, std::string user,
                         std::string password, Clock::duration timeout, Clock::duration close_wait,
                         TlsOptions tls)
    : host_(std::move(host)),
      port_(port),
      user_(std::move(user)),
      password_(std::move(password)),
      timeout_(timeout),
      close_wait_(close_wait),
      tls_(std::move(tls)),
      lookup_hold_(),
      io_(),
      resolver_(io_),
      socket_(io_),
      deadline_(io_) {}

SmtpSession::SmtpSession(std::string host, std::uint32_t port, std::string user,
                         std::string password, Clock::duration timeout, Clock::duration close_wait,
                         TlsOptions tls)
    : SmtpSession(Unstarted{}, std::move(host), port, std::move(user), std::move(password), timeout,
                  close_wait, std::move(tls)) {
  // Default flags: AI_ADDRCONFIG, any family, stream socket, TCP.
  resolver_.async_resolve(host_, std::to_string(port_),
                          [this](const error_code& error, const tcp::resolver::results_type& found) {
                            on_resolved(error, found);
                          });
}

SmtpSession::SmtpSession(const tcp::resolver::results_type& endpoints, std::string host,
                         std::string user, std::string password, Clock::duration timeout,
                         Clock::duration close_wait, TlsOptions tls)
    : SmtpSession(Unstarted{}, std::move(host), 0, std::move(user), std::move(password), timeout,
                  close_wait, std::move(tls)) {
  lookup_hold_.release();  // no lookup
  boost::asio::post(io_, [this, endpoints] { connect(endpoints); });
}

SmtpSession::~SmtpSession() {
  transport_.reset();
  // OpenSSL's error queue belongs to the thread, which the server also uses
  // for its own TLS connections: nothing of this call may stay there.
  ERR_clear_error();
}

void SmtpSession::send(const OutgoingMessage& message) {
  message_ = &message;
  io_.run();
}

void SmtpSession::on_resolved(const error_code& error,
                              const tcp::resolver::results_type& endpoints) {
  lookup_hold_.release();
  if (error) return fail(error.message());
  connect(endpoints);
}

void SmtpSession::connect(const tcp::resolver::results_type& endpoints) {
  // Each step below (the connect, every reply, the message data) may take
  // the time-out; the conversation as a whole no more than all of them.
  // STARTTLS adds its reply, the handshake and the second EHLO; TLS from
  // the start adds the handshake.
  const int tls_steps =
      tls_.security == Security::kStartTls ? 3 : tls_.security == Security::kTls ? 1 : 0;
  const auto steps = 10 + tls_steps + static_cast<Clock::rep>(message_->recipients.size());
  call_limit_ = Clock::now() + timeout_ * steps;
  step_ = "connect";
  arm(Wait::kConnect);
  // Every address in turn, until one answers.
  boost::asio::async_connect(socket_, endpoints,
                             [this](const error_code& error, const tcp::endpoint&) {
                               on_connected(error);
                             });
}

void SmtpSession::on_connected(const error_code& error) {
  if (decided_) return;
  if (error) {
    // As the system words it ("Connection refused"), like a failed lookup.
    fail(error.message());
    return close_now();
  }
  transport_ = std::make_unique<PlainTransport>(socket_);
  const auto greeting = [this] {
    read_reply("greeting", [this](const Reply& reply) { on_greeting(reply); });
  };
  if (tls_.security == Security::kTls) return start_tls("TLS handshake", greeting);
  greeting();
}

void SmtpSession::on_greeting(const Reply& reply) {
  if (accepted(reply, 220)) ehlo();
}

void SmtpSession::ehlo() {
  command("EHLO " + host_, "EHLO " + host_, 250, [this](const Reply& reply) { on_ehlo(reply); });
}

void SmtpSession::on_ehlo(const Reply& reply) {
  capabilities_ = parse_capabilities(reply);
  if (tls_.security == Security::kStartTls && !tls_transport_) return starttls();
  authenticate();
}

// Never a fallback to plain text: a server that does not offer STARTTLS, or
// refuses it, gets no credentials and no message.
void SmtpSession::starttls() {
  if (!capabilities_.starttls) {
    fail("STARTTLS: not offered by the server");
    return close_politely();
  }
  command("STARTTLS", "STARTTLS", 220, [this](const Reply&) {
    // Bytes after the 220 came in clear, before the handshake: taken as
    // replies they would let anyone on the path answer for the server.
    if (!inbox_.empty()) {
      fail("STARTTLS: the server sent more than its reply before the handshake");
      return close_now();
    }
    start_tls("STARTTLS handshake", [this] {
      // RFC 3207: what the server said before TLS is forgotten.
      capabilities_ = Capabilities();
      ehlo();
    });
  });
}

void SmtpSession::start_tls(std::string step, Next next) {
  auto tls = tls_.context ? std::make_unique<TlsTransport>(socket_, *tls_.context, host_) : nullptr;
  if (!tls || !tls->ready()) {
    fail(step + ": cannot check a certificate against " + host_);
    return close_now();
  }
  tls_transport_ = tls.get();
  transport_ = std::move(tls);
  step_ = std::move(step);
  arm(Wait::kHandshake);
  tls_transport_->async_handshake([this, next = std::move(next)](const error_code& error) {
    if (decided_) return;
    if (!error) return next();
    if (const auto refused = tls_transport_->verify_failure()) {
      fail(step_ + ": certificate of " + host_ + " not accepted: " + *refused);
      return close_now();
    }
    fail_io(error);
  });
}

// A server that offers no AUTH is a relay that trusts this host: the
// credentials would help nobody there, so none are sent. One that offers
// AUTH without LOGIN cannot take them: the call fails and says so.
void SmtpSession::authenticate() {
  if (!capabilities_.auth) return mail_transaction();
  if (!capabilities_.offers("LOGIN")) {
    std::string offered;
    for (const auto& mechanism : capabilities_.auth_mechanisms) offered += " " + mechanism;
    fail("AUTH LOGIN: not offered by the server (it offers" +
         (offered.empty() ? std::string(" none") : offered) + ")");
    return close_politely();
  }
  in_auth_ = true;
  command("AUTH LOGIN", "AUTH LOGIN", 334, [this](const Reply&) {
    command("AUTH LOGIN user name", base64_encode(user_), 334, [this](const Reply&) {
      command("AUTH LOGIN password", base64_encode(password_), 235, [this](const Reply&) {
        in_auth_ = false;
        mail_transaction();
      });
    });
  });
}

void SmtpSession::mail_transaction() {
  if (capabilities_.pipelining) return pipelined_transaction();
  command("MAIL FROM:<" + message_->sender + ">", "MAIL FROM:<" + message_->sender + ">", 250,
          [this](const Reply&) { recipient(0); });
}

void SmtpSession::recipient(std::size_t index) {
  if (index == message_->recipients.size()) return data();
  const std::string line = "RCPT TO:<" + message_->recipients[index] + ">";
  command(line, line, 250, [this, index](const Reply&) { recipient(index + 1); });
}

void SmtpSession::data() {
  command("DATA", "DATA", 354, [this](const Reply&) { write_data(); });
}

// RFC 2920: MAIL, the RCPTs and DATA as one write, then their replies in
// order. After a refusal the connection is closed at once: the server may
// already wait for data, which a QUIT would join, and a transaction whose
// data never ended is not delivered.
void SmtpSession::pipelined_transaction() {
  group_.clear();
  group_.push_back("MAIL FROM:<" + message_->sender + ">");
  for (const auto& address : message_->recipients) group_.push_back("RCPT TO:<" + address + ">");
  group_.push_back("DATA");
  outbox_.clear();
  for (const auto& line : group_) outbox_ += line + "\r\n";
  write(group_.front(), outbox_, [this] { group_reply(0); });
}

void SmtpSession::group_reply(std::size_t index) {
  read_reply(group_[index], [this, index](const Reply& reply) {
    const bool last = index + 1 == group_.size();
    if (reply.code >= 400) {
      fail(group_[index] + " refused: " + reply_text(reply));
      return close_now();
    }
    if (!accepted(reply, last ? 354 : 250)) return;
    if (!last) return group_reply(index + 1);
    write_data();
  });
}

void SmtpSession::write_data() {
  write("message data", message_->data, [this] {
    read_reply("end of data", [this](const Reply& reply) {
      if (accepted(reply, 250)) on_delivered();
    });
  });
}

void SmtpSession::on_delivered() {
  delivered_ = true;
  failure_text_.clear();
  close_politely();
}

void SmtpSession::command(std::string step, const std::string& line, int expected,
                          ReplyNext next) {
  outbox_ = line + "\r\n";
  write(step, outbox_, [this, step, expected, next = std::move(next)]() mutable {
    read_reply(std::move(step), [this, expected, next = std::move(next)](const Reply& reply) {
      if (accepted(reply, expected)) next(reply);
    });
  });
}

bool SmtpSession::accepted(const Reply& reply, int expected) {
  if (reply.code / 100 == expected / 100) return true;
  if (reply.code >= 400) {
    fail(step_ + " refused: " + reply_text(reply));
    close_politely();
  } else {
    fail(step_ + ": unexpected reply: " + reply_text(reply));
    close_now();
  }
  return false;
}

void SmtpSession::write(std::string step, std::string_view bytes, Next next) {
  step_ = std::move(step);
  unwritten_ = bytes;
  after_write_ = std::move(next);
  arm(Wait::kWrite);
  write_more();
}

void SmtpSession::write_more() {
  transport_->async_write_some(boost::asio::buffer(unwritten_.data(), unwritten_.size()),
                               [this](const error_code& error, std::size_t written) {
                                 if (decided_) return;
                                 if (error) return fail_io(error);
                                 unwritten_.remove_prefix(written);
                                 if (unwritten_.empty()) return Next(std::move(after_write_))();
                                 arm(Wait::kWrite);  // progress: the wait starts again
                                 write_more();
                               });
}

void SmtpSession::read_reply(std::string step, ReplyNext next) {
  step_ = std::move(step);
  after_reply_ = std::move(next);
  arm(Wait::kReply);
  parse_or_read();
}

void SmtpSession::parse_or_read() {
  Reply reply;
  std::size_t used = 0;
  switch (parse_reply(inbox_, &reply, &used)) {
    case ParseStatus::kComplete:
      inbox_.erase(0, used);
      return ReplyNext(std::move(after_reply_))(reply);
    case ParseStatus::kMalformed:
      fail(step_ + ": not an SMTP reply: " + printable(inbox_));
      return close_now();
    case ParseStatus::kIncomplete:
      break;
  }
  transport_->async_read_some(boost::asio::buffer(chunk_),
                              [this](const error_code& error, std::size_t received) {
                                if (decided_) return;
                                if (error) return fail_io(error);
                                inbox_.append(chunk_.data(), received);
                                parse_or_read();
                              });
}

void SmtpSession::arm(Wait wait) {
  waiting_ = wait;
  deadline_.expires_at(std::min(Clock::now() + timeout_, call_limit_));
  deadline_.async_wait([this](const error_code& error) { on_deadline(error); });
}

void SmtpSession::on_deadline(const error_code& error) {
  // A wait that was re-armed after it had already fired is no deadline.
  if (error == boost::asio::error::operation_aborted || deadline_.expiry() > Clock::now()) return;
  if (closing_) return close_now();
  if (decided_) return;
  const std::string limit = seconds_text(timeout_);
  if (deadline_.expiry() >= call_limit_)
    fail(step_ + ": the time allowed for the whole conversation ran out");
  else if (waiting_ == Wait::kConnect)
    fail("connect: no connection within " + limit);
  else if (waiting_ == Wait::kWrite)
    fail(step_ + ": the server took no data for " + limit);
  else if (waiting_ == Wait::kHandshake)
    fail(step_ + ": not finished within " + limit);
  else
    fail(step_ + ": no reply within " + limit);
  close_now();
}

void SmtpSession::fail(std::string text) {
  if (in_auth_) {
    // The server's reply to the credentials may echo them.
    replace_all(text, base64_encode(password_), "[password]");
    replace_all(text, password_, "[password]");
  }
  decided_ = true;
  failure_text_ = std::move(text);
}

void SmtpSession::fail_io(const error_code& error) {
  if (error == boost::asio::error::eof)
    fail(step_ + ": the server closed the connection");
  else
    fail(step_ + ": " + error.message());
  close_now();
}

// After the outcome: QUIT, then read what the server still sends until it
// closes, so that neither side resets the connection; bounded by the close
// wait. Nothing here changes the outcome.
void SmtpSession::close_politely() {
  decided_ = true;
  closing_ = true;
  deadline_.expires_after(close_wait_);
  deadline_.async_wait([this](const error_code& error) { on_deadline(error); });
  outbox_ = "QUIT\r\n";
  if (!transport_) return close_now();
  transport_->async_write_some(boost::asio::buffer(outbox_),
                               [this](const error_code&, std::size_t) {
                                 transport_->async_close([this] { drain(); });
                               });
}

void SmtpSession::drain() {
  transport_->async_read_some(boost::asio::buffer(chunk_),
                              [this](const error_code& error, std::size_t) {
                                if (error) return close_now();
                                drain();
                              });
}

void SmtpSession::close_now() {
  decided_ = true;
  closing_ = true;
  deadline_.cancel();
  error_code ignored;
  socket_.close(ignored);
}

}  // namespace quarn::mail
