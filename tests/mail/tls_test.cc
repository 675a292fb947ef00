// velmar with smtp-security: one table of (security, host, server, CA file)
// -> result, log line, stored message, and what crossed the wire in clear.
// The server is tests/support/smtp_server.py with the certificates of
// make_test_certs.sh; under starttls it requires STARTTLS before AUTH.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "smtp_peer.h"
#include "test_util.h"
#include "udf_call.h"

namespace {

using quarn::test::Args;
using quarn::test::Function;
using quarn::test::Plugin;
using quarn::test::ScriptedSmtpServer;
using quarn::test::StderrCapture;
using quarn::test::TestCertificates;

const std::string kSendError = "There was an error sending the message.";

TEST(Tls, EverySettingAndCertificateGivesItsOutcome) {
  TestCertificates certs;
  ScriptedSmtpServer server("ab", "secret", certs.dir());
  Plugin plugin("velmar");
  setenv("UDF_SMTPUSER", "ab", 1);
  setenv("UDF_SMTPPASSWORD", "secret", 1);
  setenv("UDF_SMTPPORT", std::to_string(server.port()).c_str(), 1);
  setenv("UDF_SMTPTIMEOUT", "1", 1);
  setenv("UDF_SMTPHELO", "client.example.test", 1);
  setenv("UDF_ERRORLOG", "loaded", 1);

  const std::string ca = certs.file("ca.pem");
  struct Case {
    const char* security;
    const char* behaviour;
    std::string log;  // "" for "OK"
    std::string ca_file;
    std::string host = "127.0.0.1";
    std::string result = kSendError;
    bool connects = true;
    bool idle_close = false;  // a second row after the server closed the idle session
  };
  const std::vector<Case> cases = {
      {"starttls", R"({"starttls": true})", "", ca},
      {"tls", R"({"tls": true})", "", ca},
      {"STARTTLS", R"({"starttls": true})", "", ca, "localhost"},
      {"tls", R"({"tls": true, "cert": "self"})", "", certs.file("self.pem"), "localhost"},
      {"none", R"({})", "", ""},
      {"tls", R"({"tls": true, "cert": "other"})",
       "TLS handshake: certificate of 127.0.0.1 not accepted: IP address mismatch", ca},
      {"starttls", R"({"starttls": true, "cert": "other"})",
       "STARTTLS handshake: certificate of localhost not accepted: hostname mismatch", ca,
       "localhost"},
      {"tls", R"({"tls": true, "cert": "expired"})",
       "TLS handshake: certificate of 127.0.0.1 not accepted: certificate has expired", ca},
      {"starttls", R"({"starttls": true, "cert": "unknown"})",
       "STARTTLS handshake: certificate of 127.0.0.1 not accepted: unable to get local issuer "
       "certificate",
       ca},
      {"tls", R"({"tls": true, "cert": "self"})",
       "TLS handshake: certificate of 127.0.0.1 not accepted: self-signed certificate", ca},
      // The system's trust store knows no test CA.
      {"tls", R"({"tls": true})",
       "TLS handshake: certificate of 127.0.0.1 not accepted: unable to get local issuer "
       "certificate",
       ""},
      {"starttls", R"({})", "STARTTLS: not offered by the server", ca},
      {"starttls", R"({"starttls": true, "reply": {"STARTTLS": "454 4.7.0 TLS not available"}})",
       "STARTTLS refused: 454 4.7.0 TLS not available", ca},
      {"starttls", R"({"starttls": true, "reply": {"STARTTLS": "220 Go ahead\r\n250 forged"}})",
       "STARTTLS: the server sent more than its reply before the handshake", ca},
      {"starttls", R"({"starttls": true, "stall": "HANDSHAKE", "stall_seconds": 1.5})",
       "STARTTLS handshake: not finished within 1 s", ca},
      {"tls", R"({})", "TLS handshake: wrong version number", ca},
      {"tls", R"({})", "smtp-ca-file /no/such/ca.pem: cannot be loaded: No such file or directory",
       "/no/such/ca.pem",
       "127.0.0.1", kSendError, false},
      {"tls", R"({})", "smtp-ca-file " + certs.file("server.key") + ": cannot be loaded: no certificate or crl found",
       certs.file("server.key"), "127.0.0.1", kSendError, false},
      {"ssl", R"({})", "Error: smtp-security must be none, starttls or tls.", ca, "127.0.0.1",
       "Error: smtp-security must be none, starttls or tls.", false},
      {"tls", R"({"tls": true, "idle": 0.3, "idle_reply": "421 4.4.2 Error: timeout exceeded"})", "", ca,
       "127.0.0.1", kSendError, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.security) + " " + c.behaviour + " " + c.ca_file);
    setenv("UDF_SMTPSECURITY", c.security, 1);
    setenv("UDF_SMTPHOST", c.host.c_str(), 1);
    if (c.ca_file.empty())
      unsetenv("UDF_SMTPCAFILE");
    else
      setenv("UDF_SMTPCAFILE", c.ca_file.c_str(), 1);
    server.behave(c.behaviour);
    Args args;
    args.text("to@example.test").text("from@example.test").text("Hello").text("Body").integer(0);
    StderrCapture err;
    const Function velmar(plugin, "velmar");
    auto statement = velmar.init(args);
    std::vector<double> seconds;
    quarn::test::StringOutcome outcome;
    for (int row = 0; row < (c.idle_close ? 2 : 1); ++row) {
      if (row > 0) std::this_thread::sleep_for(std::chrono::milliseconds(600));
      const auto start = std::chrono::steady_clock::now();
      outcome = velmar.row_string(statement.initid, args);
      seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    velmar.deinit(statement.initid);
    EXPECT_EQ(outcome.text, c.log.empty() ? "OK" : c.result);
    // Failures of sending name the server first.
    const std::string label =
        c.result == kSendError ? c.host + ":" + std::to_string(server.port()) + ": " : "";
    const std::string log = err.messages("velmar");
    if (!c.idle_close) {
      EXPECT_EQ(log, c.log.empty() ? "" : label + c.log + "\n");
    }
    if (!c.connects) continue;

    if (c.idle_close) {  // it reconnects at once, says so, and counts it
      const std::string note = label + "MAIL FROM:<from@example.test>";
      const std::string resent = "; 1 row sent again over a new connection\nstatement summary: 2 rows, "
                                 "2 sent, 0 refused, 0 failed, 0 not tried, 1 retried, 2 connections, ";
      EXPECT_EQ(log.rfind(note, 0), 0u) << log;
      EXPECT_NE(log.find(resent), std::string::npos) << log;
      EXPECT_LT(seconds[1], seconds[0] + 0.1) << "first row " << seconds[0] << " s";
      EXPECT_TRUE(server.next_session().stored.has_value());
    }
    const auto session = server.next_session();
    EXPECT_EQ(session.stored.has_value(), c.log.empty());
    if (c.log.empty()) {
      EXPECT_EQ(quarn::test::masked_stamp(session.stored->data),
                quarn::test::velmar_header("Hello", "from@example.test", "to@example.test", "plain") +
                    "\r\nBody\r\n");
      EXPECT_TRUE(session.quit_answered) << "QUIT and the close came together";
    }
    // The name goes out as SNI; an address does not.
    if (c.log.empty() && std::string(c.security) != "none") {
      EXPECT_EQ(session.sni, c.host == "localhost" ? "localhost" : "");
    }
    if (std::string(c.security) == "none") {
      EXPECT_NE(session.clear.find("AUTH LOGIN\r\nYWI=\r\n"), std::string::npos);
    } else {
      // Neither the login nor the message ever crosses in clear.
      EXPECT_EQ(session.clear.find("AUTH"), std::string::npos) << session.clear;
      EXPECT_EQ(session.clear.find("c2VjcmV0"), std::string::npos);
      EXPECT_EQ(session.clear.find("MAIL"), std::string::npos);
      const std::string before_tls = "EHLO client.example.test\r\nSTARTTLS\r\n";
      if (c.log.empty()) {
        EXPECT_EQ(session.clear, std::string(c.security) == "tls" ? "" : before_tls);
      }
    }
  }
  for (const char* name : {"UDF_SMTPHOST", "UDF_SMTPUSER", "UDF_SMTPPASSWORD", "UDF_SMTPPORT",
                           "UDF_SMTPTIMEOUT", "UDF_SMTPSECURITY", "UDF_SMTPCAFILE", "UDF_SMTPHELO"})
    unsetenv(name);
}

}  // namespace
