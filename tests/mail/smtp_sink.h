// Runs tests/mail/smtp_sink.py (aiosmtpd) on loopback for one test program.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "smtp_peer.h"
#include "test_util.h"

namespace quarn::test {

class SmtpSink {
 public:
  // tls: "none", "starttls" (required before AUTH) or "tls", showing the
  // certificate cert_dir/good.pem (see make_test_certs.sh).
  SmtpSink(const std::string& user, const std::string& password, const std::string& tls = "none",
           const std::string& cert_dir = "");
  SmtpSink(const SmtpSink&) = delete;
  SmtpSink& operator=(const SmtpSink&) = delete;

  std::uint16_t port() const { return port_; }
  std::vector<StoredMessage> messages() const;  // in arrival order
  // Waits until at least count messages are stored (or the timeout passed).
  std::vector<StoredMessage> wait_for(std::size_t count,
                                      std::chrono::seconds timeout = std::chrono::seconds(30)) const;

 private:
  TempDir dir_;
  PythonProcess process_;
  std::uint16_t port_ = 0;
};

}  // namespace quarn::test
