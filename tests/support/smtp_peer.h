// The SMTP server the mail tests talk to on loopback
// (tests/support/smtp_server.py), the process plumbing for it and other
// Python helpers, the stored-message format, and a port nobody listens on.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "test_util.h"

namespace quarn::test {

// A script run by Debian's interpreter, talked to over its standard input
// and output.
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

// A message as the server stores it (DIR/NNNN-MMM.msg).
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

// tests/support/smtp_server.py: a strict submission server that stores
// what it accepts, or misbehaves as told.
class ScriptedSmtpServer {
 public:
  // AUTH LOGIN takes these credentials, when the behaviour offers AUTH;
  // TLS shows the certificates of tls_dir (see make_test_certs.sh). It
  // listens on address, a loopback address.
  ScriptedSmtpServer(const std::string& user, const std::string& password,
                     const std::string& tls_dir = "", const std::string& address = "127.0.0.1");
  std::uint16_t port() const { return port_; }
  // The behaviour (a JSON object, see the script) of the next connections.
  void behave(const std::string& json);

  struct Session {
    std::string received;                 // every byte the client sent
    std::string clear;                    // of those, what came unencrypted
    std::string sni;                      // the name asked for in TLS
    std::optional<StoredMessage> stored;  // the first message the server accepted
    bool orderly_end = false;             // the client closed its side itself
    std::vector<StoredMessage> all;       // every message it accepted, in order
    int pipelined_groups = 0;             // MAIL commands that came with their DATA
    bool quit_answered = false;           // the client waited for the reply to its QUIT
  };
  // Waits for the next connection to end.
  Session next_session(std::chrono::seconds timeout = std::chrono::seconds(30));
  // Connections accepted so far, with those waiting to be.
  int accepted();
  // Every message stored so far, in order of arrival. The server stores a
  // message before its reply to the data, so a call that said "OK" finds
  // its message here.
  std::vector<StoredMessage> messages() const;

 private:
  // Sends a line and returns the server's answer; the ends of connections
  // that come first are kept for next_session().
  std::string answer(const std::string& line);
  Session session(const std::string& end_line) const;

  TempDir dir_;
  PythonProcess process_;
  std::uint16_t port_ = 0;
  std::deque<std::string> ended_;  // "end N [orderly]" lines not yet taken
};

// A loopback port on which nothing listens (bound, never listening, so no
// other process can take it while the object lives).
class DeadPort {
 public:
  DeadPort();
  ~DeadPort();
  DeadPort(const DeadPort&) = delete;
  DeadPort& operator=(const DeadPort&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace quarn::test
