// TLS for the SMTP conversation (RFC 3207 STARTTLS, RFC 8314 implicit TLS):
// the client context with its trust store, and the Transport that encrypts.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "transport.h"

namespace quarn::mail {

// The context of every encrypted conversation under one trust setting: TLS
// 1.2 or later, the peer's certificate always verified. ca_file names the
// PEM file of trusted certificates; empty means the system's trust store.
// Contexts are kept per process: loading the system's store costs about
// 30 ms, far more than a whole plain conversation on a near server. A call
// with another ca_file, or after the file changed on disk, gets a new one;
// conversations still running keep the old. nullptr when the file cannot be
// loaded, with the reason in *error.
std::shared_ptr<boost::asio::ssl::context> tls_context(const std::string& ca_file,
                                                       std::string* error);

// TLS over the session's socket. Verifies that the certificate names host
// (a host name or an IP address, as OpenSSL matches them) and sends host as
// SNI unless it is an address.
class TlsTransport : public Transport {
 public:
  using tcp = boost::asio::ip::tcp;
  TlsTransport(tcp::socket& socket, boost::asio::ssl::context& context, const std::string& host);

  // False when host cannot be set as the name to verify; the handshake
  // would then prove nothing.
  bool ready() const { return ready_; }
  void async_handshake(std::function<void(const boost::system::error_code&)> handler);
  // Why the peer's certificate was refused; nullopt when it was not.
  std::optional<std::string> verify_failure() const;

  void async_read_some(boost::asio::mutable_buffer buffer, Handler handler) override;
  void async_write_some(boost::asio::const_buffer buffer, Handler handler) override;
  void async_close(std::function<void()> done) override;

 private:
  boost::asio::ssl::stream<tcp::socket&> stream_;
  bool ready_ = false;
};

}  // namespace quarn::mail
