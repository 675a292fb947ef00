// SMTP servers written in Python that the mail tests talk to on loopback:
// the process plumbing, the stored-message format they share, and the
// scriptable server of tests/support/smtp_server.py.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "test_util.h"

namespace quarn::test {

// A script run by Debian's interpreter (the one that has aiosmtpd), talked
// to over its standard input and output.
class PythonProcess {
 public:
  PythonProcess(const std::string& script, const std::vector<std::string>& args);
  ~PythonProcess();  // closes its input, which ends it, and reaps it
  PythonProcess(const PythonProcess&) = delete;
  PythonProcess& operator=(const PythonProcess&) = delete;

  // The next line of its output without the line feed; nullopt when none
  // came within the timeout or the output ended.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout);
  void write_line(const std::string& line);

 private:
  int pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string pending_;
};

// A message as the Python servers store it (DIR/NNNN.msg).
struct StoredMessage {
  std::string mail_from;
  std::string rcpt_tos;  // joined by TAB
  std::string data;      // as the server stored it, dots unstuffed
};

StoredMessage read_stored(const std::string& path);

// Test certificates made by tests/support/make_test_certs.sh in a directory
// of their own.
class TestCertificates {
 public:
  TestCertificates();
  const std::string& dir() const { return dir_.path(); }
  std::string file(const std::string& name) const { return dir_.file(name); }

 private:
  TempDir dir_;
};

// The Date and Message-ID values change with every message: masked_stamp()
// puts "(date)" and "(id)" in their place when they have the form velmar
// writes (a value of another form stays, so a comparison shows it).
std::string masked_stamp(std::string data);

// velmar's header for texts that go as written, stamp masked, up to the
// empty line: type is "plain" or "html".
std::string velmar_header(const std::string& subject, const std::string& from,
                          const std::string& to, const std::string& type);

// tests/support/smtp_server.py: a server that misbehaves on request.
class ScriptedSmtpServer {
 public:
  // AUTH LOGIN takes these credentials, when the behaviour offers AUTH;
  // TLS shows the certificates of tls_dir (see make_test_certs.sh).
  ScriptedSmtpServer(const std::string& user, const std::string& password,
                     const std::string& tls_dir = "");
  std::uint16_t port() const { return port_; }
  // The behaviour (a JSON object, see the script) of the next connections.
  void behave(const std::string& json);

  struct Session {
    std::string received;                 // every byte the client sent
    std::string clear;                    // of those, what came unencrypted
    std::string sni;                      // the name asked for in TLS
    std::optional<StoredMessage> stored;  // what the server accepted
  };
  // Waits for the next connection to end.
  Session next_session(std::chrono::seconds timeout = std::chrono::seconds(30));

 private:
  TempDir dir_;
  PythonProcess process_;
  std::uint16_t port_ = 0;
};

}  // namespace quarn::test
