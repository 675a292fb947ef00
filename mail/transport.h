// The bytes under the SMTP conversation: plain TCP, or TLS over the same
// socket (from the start, or after STARTTLS in the middle of the
// conversation). The session reads and writes through this, whichever it is.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <functional>

namespace quarn::mail {

class Transport {
 public:
  using Handler = std::function<void(const boost::system::error_code&, std::size_t)>;
  virtual ~Transport() = default;
  virtual void async_read_some(boost::asio::mutable_buffer buffer, Handler handler) = 0;
  virtual void async_write_some(boost::asio::const_buffer buffer, Handler handler) = 0;
  // Says that nothing more will be sent; done runs once that is out.
  virtual void async_close(std::function<void()> done) = 0;
};

// Plain TCP on the session's socket.
class PlainTransport : public Transport {
 public:
  explicit PlainTransport(boost::asio::ip::tcp::socket& socket) : socket_(socket) {}
  void async_read_some(boost::asio::mutable_buffer buffer, Handler handler) override;
  void async_write_some(boost::asio::const_buffer buffer, Handler handler) override;
  void async_close(std::function<void()> done) override;

 private:
  boost::asio::ip::tcp::socket& socket_;
};

}  // namespace quarn::mail
