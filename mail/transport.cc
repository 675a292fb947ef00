#include "transport.h"

#include <utility>

namespace quarn::mail {

void PlainTransport::async_read_some(boost::asio::mutable_buffer buffer, Handler handler) {
  socket_.async_read_some(buffer, std::move(handler));
}

void PlainTransport::async_write_some(boost::asio::const_buffer buffer, Handler handler) {
  socket_.async_write_some(buffer, std::move(handler));
}

void PlainTransport::async_close(std::function<void()> done) {
  boost::system::error_code ignored;
  socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
  done();
}

}  // namespace quarn::mail
