#include "tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>


namespace quarn::mail {
namespace {

namespace ssl = boost::asio::ssl;

// What makes a loaded store stale: another file, or the same file rewritten
// (update-ca-certificates replaces the system's bundle).
struct StoreKey {
  std::string ca_file;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};

  bool operator==(const StoreKey& other) const {
    return ca_file == other.ca_file && device == other.device && inode == other.inode &&
           size == other.size && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec;
  }
};

StoreKey store_key(const std::string& ca_file) {
  StoreKey key{ca_file};
  const std::string path = ca_file.empty() ? X509_get_default_cert_file() : ca_file;
  struct stat file;
  if (::stat(path.c_str(), &file) == 0) {
    key.device = file.st_dev;
    key.inode = file.st_ino;
    key.size = file.st_size;
    key.modified = file.st_mtim;
  }
  return key;
}

std::string openssl_reason() {
  const unsigned long code = ERR_peek_last_error();
  const char* reason = code ? ERR_reason_error_string(code) : nullptr;
  ERR_clear_error();
  return reason ? reason : "unknown error";
}

// OpenSSL says only "system lib" when the file does not open.
std::optional<std::string> file_problem(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return std::string(std::strerror(errno));
  std::fclose(file);
  return std::nullopt;
}

std::shared_ptr<ssl::context> build_context(const std::string& ca_file, std::string* error) {
  auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
  SSL_CTX* handle = context->native_handle();
  if (SSL_CTX_set_min_proto_version(handle, TLS1_2_VERSION) != 1) {
    *error = "TLS: cannot require TLS 1.2: " + openssl_reason();
    return nullptr;
  }
  SSL_CTX_set_verify(handle, SSL_VERIFY_PEER, nullptr);
  // Nothing of one conversation is kept for the next.
  SSL_CTX_set_session_cache_mode(handle, SSL_SESS_CACHE_OFF);
  const int loaded = ca_file.empty()
                         ? SSL_CTX_set_default_verify_paths(handle)
                         : SSL_CTX_load_verify_locations(handle, ca_file.c_str(), nullptr);
  if (loaded != 1) {
    *error = ca_file.empty() ? "TLS: cannot load the system's trust store: " + openssl_reason()
                             : "smtp-ca-file " + ca_file + ": cannot be loaded: " +
                                   file_problem(ca_file).value_or(openssl_reason());
    ERR_clear_error();
    return nullptr;
  }
  return context;
}

}  // namespace

std::shared_ptr<ssl::context> tls_context(const std::string& ca_file, std::string* error) {
  static std::mutex mutex;
  static StoreKey cached_key;
  static std::shared_ptr<ssl::context> cached;

  const StoreKey key = store_key(ca_file);
  std::lock_guard<std::mutex> guard(mutex);
  if (cached && cached_key == key) return cached;
  std::shared_ptr<ssl::context> built = build_context(ca_file, error);
  if (!built) return nullptr;  // nothing is kept: the next call tries again
  cached_key = key;
  cached = built;
  return built;
}

TlsTransport::TlsTransport(tcp::socket& socket, ssl::context& context, const std::string& host)
    : stream_(socket, context) {
  // Each command goes out as a record of its own right after the one
  // before (the handshake's last flight, then EHLO): Nagle's algorithm
  // would hold it until the peer's delayed acknowledgement, 40 ms each.
  boost::system::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  SSL* handle = stream_.native_handle();
  boost::system::error_code not_address;
  boost::asio::ip::make_address(host, not_address);
  if (!not_address) {
    ready_ = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(handle), host.c_str()) == 1;
  } else {
    // RFC 6125: a wildcard stands for a whole left-most label only.
    SSL_set_hostflags(handle, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    ready_ = SSL_set1_host(handle, host.c_str()) == 1 &&
             SSL_set_tlsext_host_name(handle, host.c_str()) == 1;
  }
  ERR_clear_error();
}

void TlsTransport::async_handshake(std::function<void(const boost::system::error_code&)> handler) {
  stream_.async_handshake(ssl::stream_base::client, std::move(handler));
}

std::optional<std::string> TlsTransport::verify_failure() const {
  const long result = SSL_get_verify_result(const_cast<TlsTransport*>(this)->stream_.native_handle());
  if (result == X509_V_OK) return std::nullopt;
  return std::string(X509_verify_cert_error_string(result));
}

void TlsTransport::async_read_some(boost::asio::mutable_buffer buffer, Handler handler) {
  stream_.async_read_some(buffer, std::move(handler));
}

void TlsTransport::async_write_some(boost::asio::const_buffer buffer, Handler handler) {
  stream_.async_write_some(buffer, std::move(handler));
}

// close_notify, then the peer's; whatever comes of it, the connection ends.
void TlsTransport::async_close(std::function<void()> done) {
  stream_.async_shutdown([done = std::move(done)](const boost::system::error_code&) { done(); });
}

}  // namespace quarn::mail
