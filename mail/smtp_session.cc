#include "smtp_session.h"

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <boost/asio/placeholders.hpp>
#include <boost/asio/write.hpp>
#include <boost/bind/bind.hpp>
#include <boost/lexical_cast.hpp>

#include <algorithm>
#include <iterator>
#include <ostream>
#include <sstream>

namespace quarn::mail {

std::string base64_encode(std::string_view text) {
  using namespace boost::archive::iterators;
  using Encoder = base64_from_binary<transform_width<std::string_view::const_iterator, 6, 8>>;
  std::ostringstream out;
  std::copy(Encoder(text.begin()), Encoder(text.end()), std::ostream_iterator<char>(out));
  // The iterators fill the last group with zero bits but leave the padding
  // to the caller.
  std::string encoded = out.str();
  encoded.append((3 - text.size() % 3) % 3, '=');
  return encoded;
}

std::string dot_stuff(std::string_view text) {
  std::string stuffed;
  stuffed.reserve(text.size() + text.size() / 64 + 1);
  bool line_start = true;
  for (const char c : text) {
    if (line_start && c == '.') stuffed += '.';
    stuffed += c;
    line_start = c == '\n';
  }
  return stuffed;
}

std::vector<std::string> build_script(const MessageParts& parts) {
  std::vector<std::string> lines;
  lines.reserve(14);
  lines.push_back("EHLO " + parts.host);
  lines.push_back("AUTH LOGIN");
  lines.push_back(base64_encode(parts.user));
  lines.push_back(base64_encode(parts.password));
  lines.push_back("MAIL FROM:<" + parts.from + ">");
  lines.push_back("RCPT TO:<" + parts.to + ">");
  lines.push_back("DATA");
  // Each script line starts a line of the data, so stuffing line by line
  // is the same as stuffing the whole section.
  lines.push_back(dot_stuff("SUBJECT:" + parts.subject));
  lines.push_back(dot_stuff("From:" + parts.from));
  lines.push_back(dot_stuff("To:" + parts.to));
  lines.push_back(parts.is_html ? "Content-Type:text/html; charset=utf-8"
                                : "Content-Type:text/plain; charset=utf-8");
  lines.push_back("");
  lines.push_back(dot_stuff(parts.body));
  lines.push_back(".\r\n");
  return lines;
}

SmtpSession::SmtpSession(std::string host, std::uint32_t port, std::string user,
                         std::string password)
    : host_(std::move(host)),
      user_(std::move(user)),
      password_(std::move(password)),
      port_(port),
      lookup_hold_(),
      io_(),
      resolver_(io_),
      socket_(io_),
      close_deadline_(io_) {
  // Default flags: AI_ADDRCONFIG, any family, stream socket, TCP.
  tcp::resolver::query query(host_, boost::lexical_cast<std::string>(port_));
  resolver_.async_resolve(query,
                          boost::bind(&SmtpSession::on_resolved, this,
                                      boost::asio::placeholders::error,
                                      boost::asio::placeholders::iterator));
}

void SmtpSession::send(std::string from, std::string to, std::string subject,
                       std::string body, bool is_html) {
  from_ = std::move(from);
  to_ = std::move(to);
  subject_ = std::move(subject);
  body_ = std::move(body);
  is_html_ = is_html;
  io_.run();
}

void SmtpSession::fail(const boost::system::error_code& error) {
  failed_ = true;
  failure_text_ = error.message();
}

void SmtpSession::on_resolved(const boost::system::error_code& error,
                              tcp::resolver::iterator endpoints) {
  lookup_hold_.release();
  if (error) {
    fail(error);
    return;
  }
  // Only the first address is ever tried.
  const tcp::endpoint endpoint = *endpoints;
  ++endpoints;
  socket_.async_connect(endpoint, boost::bind(&SmtpSession::on_connected, this,
                                              boost::asio::placeholders::error, endpoints));
}

void SmtpSession::on_connected(const boost::system::error_code& error,
                               tcp::resolver::iterator /*rest*/) {
  if (error) {
    fail(error);
    return;
  }
  const MessageParts parts{host_, user_, password_, from_, to_, subject_, body_, is_html_};
  for (const std::string& line : build_script(parts)) send_line(line);
  start_orderly_close();
}

void SmtpSession::send_line(const std::string& line) {
  std::ostream stream(&request_);
  stream << line << "\r\n";
  boost::asio::write(socket_, request_);  // throws system_error("write")
}

// Closing while the server's replies sit unread makes the kernel reset the
// connection and drop what was not yet sent, and the server then discards
// the message. So the sending side is shut down and the replies are read
// until the server closes, bounded by kCloseWait. Nothing here changes the
// outcome of the call.
void SmtpSession::start_orderly_close() {
  boost::system::error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_send, ignored);
  close_deadline_.expires_after(kCloseWait);
  close_deadline_.async_wait(
      boost::bind(&SmtpSession::on_close_deadline, this, boost::asio::placeholders::error));
  socket_.async_read_some(boost::asio::buffer(discard_),
                          boost::bind(&SmtpSession::on_drained, this,
                                      boost::asio::placeholders::error,
                                      boost::asio::placeholders::bytes_transferred));
}

void SmtpSession::on_drained(const boost::system::error_code& error, std::size_t /*bytes*/) {
  if (!error) {
    socket_.async_read_some(boost::asio::buffer(discard_),
                            boost::bind(&SmtpSession::on_drained, this,
                                        boost::asio::placeholders::error,
                                        boost::asio::placeholders::bytes_transferred));
    return;
  }
  // End of stream, a reset, or the deadline's cancel: the wait is over.
  close_deadline_.cancel();
  boost::system::error_code ignored;
  socket_.close(ignored);
}

void SmtpSession::on_close_deadline(const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) return;
  boost::system::error_code ignored;
  socket_.cancel(ignored);
}

}  // namespace quarn::mail
