// One SMTP conversation: look up the server, connect to its first address,
// write the whole command script without reading replies, then close in an
// orderly way.
#pragma once

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/system/error_code.hpp>

#include "env.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::mail {

// Standard base64 (RFC 4648) with "=" padding and no line breaks; strict
// SASL decoders refuse unpadded credentials.
std::string base64_encode(std::string_view text);

// Puts one more "." in front of every line that begins with "." (a line
// begins at the start of the text and after any LF byte), so the server
// neither ends the data early nor drops a leading dot.
std::string dot_stuff(std::string_view text);

struct MessageParts {
  std::string host;  // also the argument of EHLO
  std::string user;
  std::string password;
  std::string from;
  std::string to;
  std::string subject;
  std::string body;
  bool is_html;
};

// The fourteen lines of the conversation, each without the CR LF that the
// session appends when writing it. The DATA section (header lines and body)
// is dot-stuffed; the last line is ".\r\n".
std::vector<std::string> build_script(const MessageParts& parts);

// How long the session waits for the server to close after the script.
constexpr std::chrono::seconds kCloseWait{10};

// One message per session, one session per call. The lookup starts in the
// constructor; send() runs lookup, connect and script on the calling thread,
// which must be the constructing thread.
class SmtpSession {
 public:
  SmtpSession(std::string host, std::uint32_t port, std::string user, std::string password);
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;

  // At most once. A failed write leaves as boost::system::system_error.
  void send(std::string from, std::string to, std::string subject, std::string body,
            bool is_html);
  bool failed() const { return failed_; }
  std::string failure_text() const { return failure_text_; }

 private:
  using tcp = boost::asio::ip::tcp;

  void on_resolved(const boost::system::error_code& error, tcp::resolver::iterator endpoints);
  void on_connected(const boost::system::error_code& error, tcp::resolver::iterator rest);
  void send_line(const std::string& line);
  void fail(const boost::system::error_code& error);
  void start_orderly_close();
  void on_drained(const boost::system::error_code& error, std::size_t bytes);
  void on_close_deadline(const boost::system::error_code& error);

  std::string host_;
  std::string user_;
  std::string password_;
  std::string from_;
  std::string to_;
  std::string subject_;
  std::string body_;
  std::uint32_t port_;
  // The resolver reads the environment on its own thread: a read hold from
  // the lookup's start until its handler runs (or, without send(), until the
  // I/O service below has joined that thread).
  quarn::EnvReadHold lookup_hold_;
  // The I/O service comes before everything bound to it, so that those are
  // destroyed first.
  boost::asio::io_service io_;
  tcp::resolver resolver_;
  tcp::socket socket_;
  boost::asio::streambuf request_;
  bool failed_ = false;
  std::string failure_text_;
  bool is_html_ = false;
  // The orderly close: what the server still sends is read and dropped.
  boost::asio::steady_timer close_deadline_;
  std::array<char, 4096> discard_{};
};

}  // namespace quarn::mail
