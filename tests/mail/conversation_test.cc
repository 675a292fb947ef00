// velmar against a server that behaves as told (tests/support/smtp_server.py):
// refusals at every step, AUTH and PIPELINING offered or not, slow, silent,
// garbled and dropped conversations. One table: the behaviour, the result,
// the line on standard error and whether the server stored the message.
// The server refuses early pipelining as Postfix does by default from 3.9.
// This program replaces the global allocator, which the dlopen'ed plug-in
// binds to as well, so that an exception can be raised inside a row.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "replaced_allocator.h"
#include "smtp_peer.h"
#include "test_util.h"
#include "udf_call.h"
#include "velmar_fixture.h"

namespace {
// Armed, the next allocation of failing_thread throws.
std::atomic<bool> failure_armed{false};
pthread_t failing_thread;
}  // namespace

bool replaced_allocator::fail_now() {
  return failure_armed.load(std::memory_order_acquire) && pthread_equal(pthread_self(), failing_thread) &&
         failure_armed.exchange(false);
}
void replaced_allocator::count(long long) {}

namespace {

using quarn::test::Args;
using quarn::test::Function;
using quarn::test::ScriptedSmtpServer;
using quarn::test::StderrCapture;

const std::string kSendError = "There was an error sending the message.";
const std::string kTo = "to@example.test";

class Conversation : public quarn::test::VelmarTest {
 protected:
  void SetUp() override {
    VelmarTest::SetUp();
    setenv("UDF_SMTPTIMEOUT", "1", 1);
  }

  struct Seen {
    std::string result;
    std::string log;
    double seconds;
    ScriptedSmtpServer::Session session;
  };
  static Seen send(const std::string& to, const std::string& body = "Body\r\n.dot") {
    Args args;
    args.text(to).text("from@example.test").text("Hello").text(body).integer(0);
    StderrCapture err;
    const auto start = std::chrono::steady_clock::now();
    const auto outcome = Function(*plugin_, "velmar").call_string(args);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(outcome.is_null || outcome.error);
    return {outcome.text, err.messages("velmar"), took.count(), server_->next_session()};
  }

};

TEST_F(Conversation, EveryBehaviourGivesItsResultLogLineAndStoredMessage) {
  const std::string big = [] {
    std::string body;
    while (body.size() < (8u << 20)) body += std::string(98, 'b') + "\r\n";
    return body;
  }();
  const std::string closed = "the server closed the connection";
  // Every failure ends with QUIT where the connection still stands: after
  // a refusal, and after an unexpected reply; not after a 421 (the server
  // is closing), a deadline, a broken connection or a reply that is no SMTP.
  enum Quit { kNoQuit, kQuit, kResetThenQuit };
  struct Case {
    const char* behaviour;
    std::string log;  // "" for "OK"; ending in ": " means any cause of a broken connection
    bool stored;
    Quit quit;
    std::string to = kTo;
    const std::string* body = nullptr;
    const char* settings = nullptr;  // "NAME=value ..." for this call; an empty value unsets
  };
  const char* const kNoLogin = "UDF_SMTPAUTH=none UDF_SMTPUSER= UDF_SMTPPASSWORD=";
  const std::vector<Case> cases = {
      {R"({})", "", true, kQuit},
      {R"({"pipelining": true})", "", true, kQuit},
      {R"({"auth": ""})", "", true, kQuit},
      // smtp-auth none: no AUTH, no credentials needed; a server that wants
      // a login says so, and the log says why none was made.
      {R"({"auth": ""})", "", true, kQuit, kTo, nullptr, kNoLogin},
      {R"({})",
       "MAIL FROM:<from@example.test> refused: 530 5.7.0 Authentication required (no login was "
       "made: smtp-auth is none)",
       false, kResetThenQuit, kTo, nullptr, kNoLogin},
      // The server's bytes escaped in the log, a bare LF part of the line.
      {R"({"reply": {"MAIL": "550 5.7.1 \u001b[31mred\udcff\u0085\n250 2.1.0 Ok"}})",
       "MAIL FROM:<from@example.test> refused: 550 5.7.1 \\x1b[31mred\\xff\\xc2\\x85\\n250 2.1.0 Ok",
       false, kResetThenQuit},
      {R"({"auth": "PLAIN CRAM-MD5"})",
       "AUTH LOGIN: not offered by the server (it offers PLAIN CRAM-MD5)", false, kQuit},
      {R"({"reply": {"greeting": "421 4.3.2 Service not available"}})",
       "greeting refused: 421 4.3.2 Service not available", false, kNoQuit},
      {R"({"reply": {"AUTH": "504 5.5.4 Not now"}})", "AUTH LOGIN refused: 504 5.5.4 Not now", false,
       kQuit},
      {R"({"reply": {"PASSWORD": "535 5.7.8 Authentication credentials invalid"}})",
       "AUTH LOGIN password refused: 535 5.7.8 Authentication credentials invalid", false, kQuit},
      {R"({"reply": {"PASSWORD": "535 5.7.8 c2VjcmV0 is not secret"}})",
       "AUTH LOGIN password refused: 535 5.7.8 [password] is not [password]", false, kQuit},
      {R"({"reply": {"MAIL": "550 5.7.1 Sender rejected"}})",
       "MAIL FROM:<from@example.test> refused: 550 5.7.1 Sender rejected", false, kResetThenQuit},
      {R"({"reply": {"RCPT x@example.test": "550 5.1.1 <x@example.test>: Recipient address rejected"}})",
       "RCPT TO:<x@example.test> refused: 550 5.1.1 <x@example.test>: Recipient address rejected",
       false, kResetThenQuit, "a@example.test, Xa <x@example.test>, c@example.test"},
      // DATA was answered 354: the connection is dropped, no data sent.
      {R"({"pipelining": true, "reply": {"RCPT x@example.test": "550 5.1.1 unknown"}})",
       "RCPT TO:<x@example.test> refused: 550 5.1.1 unknown", false, kNoQuit,
       "a@example.test, x@example.test"},
      {R"({"pipelining": true, "reply": {"RCPT": "550 5.1.1 unknown"}})",
       "RCPT TO:<to@example.test> refused: 550 5.1.1 unknown", false, kResetThenQuit},
      {R"({"reply": {"DATA": "554 5.5.1 No valid recipients"}})",
       "DATA refused: 554 5.5.1 No valid recipients", false, kResetThenQuit},
      {R"({"reply": {"END": "552 5.3.4 Message too big"}})",
       "end of data refused: 552 5.3.4 Message too big", false, kQuit},
      {R"({"reply": {"MAIL": "250-first\r\n550 5.0.0 mixed codes"}})",
       "MAIL FROM:<from@example.test>: not an SMTP reply: 250-first\\r\\n550 5.0.0 mixed codes\\r\\n",
       false, kNoQuit},
      {R"({"reply": {"DATA": "250 2.0.0 Ok"}})", "DATA: unexpected reply: 250 2.0.0 Ok", false, kQuit},
      // Pipelined, an unexpected reply leaves the conversation out of step:
      // dropped, no QUIT.
      {R"({"pipelining": true, "reply": {"DATA": "250 2.0.0 Ok"}})",
       "DATA: unexpected reply: 250 2.0.0 Ok", false, kNoQuit},
      {R"({"delay": {"MAIL": 2.5}})", "MAIL FROM:<from@example.test>: no reply within 1 s", false,
       kNoQuit},
      // The server took the message but answered too late: the call cannot
      // tell, and says it failed.
      {R"({"delay": {"END": 2.5}})", "end of data: no reply within 1 s", true, kNoQuit},
      {R"({"stall": "greeting", "stall_seconds": 1.5})", "greeting: no reply within 1 s", false,
       kNoQuit},
      {R"({"stall": "BODY", "stall_seconds": 1.5})", "message data: the server took no data for 1 s",
       false, kNoQuit, kTo, &big},
      {R"({"garbage": "EHLO"})",
       "EHLO client.example.test: not an SMTP reply: \\x00\\xffHELLO? this is not SMTP\\r\\n", false,
       kNoQuit},
      {R"({"drop": "greeting"})", "greeting: " + closed, false, kNoQuit},
      {R"({"drop": "EHLO"})", "EHLO client.example.test: " + closed, false, kNoQuit},
      {R"({"drop": "AUTH"})", "AUTH LOGIN: " + closed, false, kNoQuit},
      {R"({"drop": "USER"})", "AUTH LOGIN user name: " + closed, false, kNoQuit},
      {R"({"drop": "PASSWORD"})", "AUTH LOGIN password: " + closed, false, kNoQuit},
      {R"({"drop": "MAIL"})", "MAIL FROM:<from@example.test>: " + closed, false, kNoQuit},
      {R"({"drop": "RCPT"})", "RCPT TO:<to@example.test>: " + closed, false, kNoQuit},
      {R"({"drop": "DATA"})", "DATA: " + closed, false, kNoQuit},
      {R"({"drop": "BODY"})", "end of data: ", false, kNoQuit, kTo, &big},
      {R"({"drop": "END"})", "end of data: ", false, kNoQuit},
  };
  const std::string server = "127.0.0.1:" + std::to_string(server_->port()) + ": ";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.behaviour);
    server_->behave(c.behaviour);
    std::istringstream settings(c.settings ? c.settings : "");
    for (std::string setting; settings >> setting;) {
      const auto equals = setting.find('=');
      const std::string name = setting.substr(0, equals), value = setting.substr(equals + 1);
      value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
    }
    const Seen seen = send(c.to, c.body ? *c.body : "Body\r\n.dot");
    configure("127.0.0.1", server_->port());
    unsetenv("UDF_SMTPAUTH");
    EXPECT_EQ(seen.result, c.log.empty() ? "OK" : kSendError);
    const std::string log = server + c.log;
    if (c.log.size() > 2 && c.log.compare(c.log.size() - 2, 2, ": ") == 0) {
      // A close with unread data resets; either may come first.
      EXPECT_TRUE(seen.log == log + closed + "\n" || seen.log == log + "Connection reset by peer\n" ||
                  seen.log.rfind(server + "message data: ", 0) == 0)
          << seen.log;
    } else {
      EXPECT_EQ(seen.log, c.log.empty() ? "" : log + "\n");
    }
    EXPECT_EQ(seen.session.stored.has_value(), c.stored);
    const std::string& sent = seen.session.received;
    const auto ends_with = [&sent](const std::string& end) {
      return sent.size() >= end.size() && sent.compare(sent.size() - end.size(), end.size(), end) == 0;
    };
    EXPECT_EQ(ends_with("QUIT\r\n"), c.quit != kNoQuit) << sent.substr(sent.size() - std::min<std::size_t>(sent.size(), 80));
    EXPECT_EQ(ends_with("RSET\r\nQUIT\r\n"), c.quit == kResetThenQuit);
    EXPECT_LT(seen.seconds, 4.0) << "a deadline is 1 s, the close wait is not used";
    const std::string& wire = seen.session.received;
    // Credentials only go to a server that asked for AUTH LOGIN.
    if (std::string(c.behaviour).find("\"auth\"") != std::string::npos || c.settings) {
      EXPECT_EQ(wire.find("YWI="), std::string::npos) << wire.substr(0, 200);
    }
    if (c.settings) {
      EXPECT_EQ(wire.find("AUTH"), std::string::npos) << wire.substr(0, 200);
    }
    if (c.stored && c.log.empty()) {
      EXPECT_EQ(quarn::test::masked_stamp(seen.session.stored->data),
                quarn::test::velmar_header("Hello", "from@example.test", "to@example.test", "plain") +
                    "\r\nBody\r\n.dot\r\n");
      // The end of the data is the line "." alone, then QUIT.
      const std::string end = "\r\n..dot\r\n.\r\nQUIT\r\n";
      EXPECT_EQ(wire.substr(wire.size() - end.size()), end);
    }
  }
}

// Rows of one statement (one UDF_INIT): the session is kept from row to
// row; a message goes once more over a new connection only when the kept
// one broke or answered 421 before the message's final "." was written,
// and a note says so. Settings that cannot log in or reach the server are
// given up on.
TEST_F(Conversation, RowsOfAStatementShareASessionAndNothingGoesTwice) {
  struct Row {
    std::string to;
    std::string result;  // "OK", or the result text
    // After "127.0.0.1:port: " (unless it starts with "Error: "); "" for
    // none; a "*" stands for any cause of a broken connection.
    std::string log;
    std::string body = "Body";
    bool logged = true;  // false: the eleventh and later line of its kind, only counted
    double exception_at = 0;  // > 0: an allocation of the row fails this many seconds in
  };
  struct Case {
    const char* name;
    const char* behaviour;
    std::vector<Row> rows;
    int connections;
    std::vector<int> stored;  // the rows whose message the server stored, once each
    const char* between = nullptr;  // UDF_SMTPTIMEOUT set before each later row; "sleep": 0.6 s
    const char* summary = nullptr;  // the summary line's counts, when one is checked
    std::vector<std::string> on_wire = {};   // sent once each
    std::vector<std::string> off_wire = {};  // never sent
    bool dead_port = false;  // velmar is pointed at a port where nothing listens
  };
  const std::string big(2000, 'b');
  const std::string too_large = "Error: The message is larger than the server accepts (1000 bytes).";
  const std::string utf8 = "j\xc3\xb6rg@example.test";
  // Rows that fail with log, then more rows given up on.
  const auto given_up = [](const std::string& log, std::size_t tried, std::size_t more) {
    std::vector<Row> rows(tried, Row{kTo, kSendError, log});
    rows.insert(rows.end(), more, Row{kTo, kSendError, log + " (not tried again in this statement)"});
    return rows;
  };
  const std::string no_login = "MAIL FROM:<from@example.test> refused: 530 5.7.0 Authentication required";
  const std::string resent = "; 1 row sent again over a new connection";
  const std::string idn = "J\xc3\xb6rg <user@B\xc3\xbc" "cher.example>";
  const std::vector<Case> cases = {
      {"pipelined rows over one connection", R"({"pipelining": true})",
       {{kTo, "OK", ""}, {kTo, "OK", ""}, {kTo, "OK", ""}}, 1, {0, 1, 2}},
      {"421 at the second MAIL: sent again over a new connection",
       R"({"from_message": 2, "reply": {"MAIL": "421 4.4.2 Idle for too long"}})",
       {{kTo, "OK", ""},
        {kTo, "OK", "MAIL FROM:<from@example.test> refused: 421 4.4.2 Idle for too long" + resent}},
       2, {0, 1}, nullptr, "2 rows, 2 sent, 0 refused, 0 failed, 0 not tried, 1 retried, 2 connections"},
      {"closed before the second MAIL", R"({"from_message": 2, "drop": "MAIL", "pipelining": true})",
       {{kTo, "OK", ""}, {kTo, "OK", "MAIL FROM:<from@example.test>: *" + resent}}, 2, {0, 1}},
      {"closed while idle", R"({"idle": 0.3})",
       {{kTo, "OK", ""}, {kTo, "OK", "MAIL FROM:<from@example.test>: *" + resent}}, 2, {0, 1},
       "sleep"},
      // What the server waits for after an exception is not known: the
      // next row goes over a new connection, none of its commands into the
      // first message's data, and no QUIT either.
      {"an exception while DATA waits for its reply", R"({"delay": {"DATA": 0.6}})",
       {{kTo, "An exception was thrown.", "", "Body", false, 0.3}, {kTo, "OK", ""}}, 2, {1}},
      {"closed after the final dot: that row fails, never sent again",
       R"({"from_message": 2, "drop": "END"})",
       {{kTo, "OK", ""}, {kTo, kSendError, "end of data: the server closed the connection"},
        {kTo, "OK", ""}},
       2, {0, 2}},
      {"a refused recipient in a pipelined transaction",
       R"({"pipelining": true, "reply": {"RCPT x@example.test": "550 5.1.1 unknown"}})",
       {{"a@example.test, x@example.test", kSendError,
         "RCPT TO:<x@example.test> refused: 550 5.1.1 unknown"},
        {kTo, "OK", ""}},
       2, {1}},
      {"a refused recipient in lock-step: RSET, the session goes on",
       R"({"reply": {"RCPT x@example.test": "550 5.1.1 unknown"}})",
       {{"x@example.test", kSendError, "RCPT TO:<x@example.test> refused: 550 5.1.1 unknown"},
        {kTo, "OK", ""}},
       1, {1}},
      {"over the server's SIZE: refused before MAIL, the session goes on",
       R"({"size": 1000, "pipelining": true})",
       {{kTo, too_large, "", big}, {kTo, "OK", ""}}, 1, {1}},
      {"a UTF-8 local part to a server with SMTPUTF8", R"({"smtputf8": true})",
       {{utf8, "OK", ""}}, 1, {0}},
      {"a U-label domain to a server without SMTPUTF8: A-labels", R"({})", {{idn, "OK", ""}}, 1,
       {0}, nullptr, nullptr,
       {"RCPT TO:<user@xn--bcher-kva.example>\r\n",
        "\r\nTo: =?UTF-8?B?SsO2cmc=?= <user@xn--bcher-kva.example>\r\n"},
       {"SMTPUTF8", "\xc3\xbc"}},
      {"a U-label domain to a server with SMTPUTF8: as written", R"({"smtputf8": true})",
       {{idn, "OK", ""}}, 1, {0}, nullptr, nullptr,
       {"RCPT TO:<user@B\xc3\xbc" "cher.example>\r\n",
        "\r\nTo: =?UTF-8?B?SsO2cmc=?= <user@B\xc3\xbc" "cher.example>\r\n"}},
      {"an invalid international domain: refused before connecting", R"({})",
       {{"user@-b\xc3\xbc" "cher.example", "Error: 'To' address has an invalid domain name.",
         "Error: 'To' address has an invalid domain name: <user@-b\xc3\xbc" "cher.example>: string "
         "start/ends with forbidden hyphen"},
        {kTo, "OK", ""}},
       1, {1}, nullptr, "2 rows, 1 sent, 1 refused, 0 failed, 0 not tried, 0 retried, 1 connections",
       {"MAIL FROM:"}},
      {"nothing listens: no connection made", R"({})",
       {{kTo, kSendError, "Connection refused"}, {kTo, kSendError, "Connection refused"}}, 0, {},
       nullptr, "2 rows, 0 sent, 0 refused, 2 failed, 0 not tried, 0 retried, 0 connections", {}, {},
       true},
      {"a UTF-8 local part to a server without", R"({})",
       {{utf8, kSendError,
         "<" + utf8 + ">: the server does not accept non-ASCII addresses (no SMTPUTF8)"},
        {kTo, "OK", ""}},
       1, {1}},
      {"a setting changed between rows", R"({})", {{kTo, "OK", ""}, {kTo, "OK", ""}}, 2, {0, 1},
       "2"},
      {"a refused login: one attempt, the later rows not tried",
       R"({"reply": {"PASSWORD": "535 5.7.8 Authentication credentials invalid"}})",
       given_up("AUTH LOGIN password refused: 535 5.7.8 Authentication credentials invalid", 1, 4), 1,
       {}, nullptr, "5 rows, 0 sent, 0 refused, 1 failed, 4 not tried, 0 retried, 1 connections"},
      {"a deferred login: tried once more, then not", R"({"reply": {"PASSWORD": "454 4.7.0 Later"}})",
       given_up("AUTH LOGIN password refused: 454 4.7.0 Later", 2, 1), 2, {}, nullptr,
       "3 rows, 0 sent, 0 refused, 2 failed, 1 not tried, 0 retried, 2 connections"},
      {"a silent server: two rows wait for it, the others are not tried",
       R"({"stall": "greeting", "stall_seconds": 1.5})", given_up("greeting: no reply within 1 s", 2, 3),
       2, {}, nullptr, "5 rows, 0 sent, 0 refused, 2 failed, 3 not tried, 0 retried, 2 connections"},
      {"no AUTH offered, a message refused: said once per session",
       R"({"auth": "", "reply": {"MAIL": "530 5.7.0 Authentication required"}})",
       {{kTo, kSendError,
         no_login + " (the server offered no AUTH over this connection; check smtp-security)"},
        {kTo, kSendError, no_login}},
       1, {}, nullptr, "2 rows, 0 sent, 0 refused, 2 failed, 0 not tried, 0 retried, 1 connections"},
      {"twelve refusals: ten lines, the rest counted", R"({})",
       [] {
         std::vector<Row> rows(13, Row{"", "Error: No 'To' address specified.", ""});
         rows[0] = Row{kTo, "OK", ""};
         rows[11].logged = rows[12].logged = false;
         return rows;
       }(),
       1, {0}, nullptr, "13 rows, 1 sent, 12 refused, 0 failed, 0 not tried, 0 retried, 1 connections"},
  };
  const Function velmar(*plugin_, "velmar");
  // The line of a row: after the server's name unless it is a refusal, a
  // "*" for any text.
  const auto logged_as = [](const std::string& line, const std::string& expected) {
    const std::size_t star = expected.find('*');
    if (star == std::string::npos) return line == expected;
    const std::string tail = expected.substr(star + 1);
    return line.size() >= expected.size() - 1 && line.compare(0, star, expected, 0, star) == 0 &&
           line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_->behave(c.behaviour);
    quarn::test::DeadPort dead;
    const unsigned port = c.dead_port ? dead.port() : server_->port();
    setenv("UDF_SMTPPORT", std::to_string(port).c_str(), 1);
    const std::string server = "127.0.0.1:" + std::to_string(port) + ": ";
    const int accepted = server_->accepted();
    Args first;
    first.text(kTo).text("from@example.test").text("row").text("b").integer(0);
    auto statement = velmar.init(first);
    ASSERT_FALSE(statement.refused);
    for (std::size_t i = 0; i < c.rows.size(); ++i) {
      const Row& row = c.rows[i];
      if (i > 0 && c.between != nullptr) {
        if (std::string(c.between) == "sleep")
          std::this_thread::sleep_for(std::chrono::milliseconds(600));
        else
          setenv("UDF_SMTPTIMEOUT", (c.between + std::to_string(i)).c_str(), 1);
      }
      Args args;
      args.text(row.to).text("from@example.test").text("row " + std::to_string(i)).text(row.body)
          .integer(0);
      StderrCapture err;
      std::thread arming;
      if (row.exception_at > 0) {
        failing_thread = pthread_self();
        arming = std::thread([&row] {
          std::this_thread::sleep_for(std::chrono::duration<double>(row.exception_at));
          failure_armed.store(true, std::memory_order_release);
        });
      }
      EXPECT_EQ(velmar.row_string(statement.initid, args).text, row.result) << i;
      if (arming.joinable()) {
        arming.join();
        EXPECT_FALSE(failure_armed.exchange(false)) << "no allocation failed in row " << i;
      }
      const std::string expected =
          !row.logged         ? ""
          : row.log.empty()   ? (row.result == "OK" ? "" : row.result + "\n")
          : row.log.rfind("Error: ", 0) == 0 ? row.log + "\n"
                                             : server + row.log + "\n";
      const std::string log = err.messages("velmar");
      EXPECT_TRUE(logged_as(log, expected)) << i << ": " << log << "expected: " << expected;
    }
    StderrCapture end;
    velmar.deinit(statement.initid);
    if (c.summary) {
      const std::string summary = end.messages("velmar");
      const std::string counts = "statement summary: " + std::string(c.summary) + ", ";
      ASSERT_EQ(summary.rfind(counts, 0), 0u) << summary;
      // Only rows that connect wait, each at most for one deadline of 1 s.
      EXPECT_LT(std::stod(summary.substr(counts.size())), c.connections + 1.0) << summary;
      const auto held = std::count_if(c.rows.begin(), c.rows.end(), [](const Row& r) { return !r.logged; });
      const std::string end_text =
          held ? " s, " + std::to_string(held) + " repeated failure lines not written\n" : " s\n";
      EXPECT_EQ(summary.substr(summary.size() - std::min(summary.size(), end_text.size())), end_text);
    }
    setenv("UDF_SMTPTIMEOUT", "1", 1);
    setenv("UDF_SMTPPORT", std::to_string(server_->port()).c_str(), 1);
    EXPECT_EQ(server_->accepted() - accepted, c.connections);
    std::vector<int> stored;
    std::string wire;
    for (int n = 0; n < c.connections; ++n) {
      const auto session = server_->next_session();
      for (const auto& message : session.all)
        stored.push_back(message.data[message.data.find("Subject: row ") + 13] - '0');
      if (std::string(c.behaviour).find("pipelining") != std::string::npos) {
        int mails = 0;
        for (std::size_t at = 0; (at = session.received.find("MAIL FROM:", at)) != std::string::npos; ++at)
          ++mails;
        EXPECT_EQ(session.pipelined_groups, mails) << "MAIL, RCPT and DATA in one write";
      }
      wire += session.received;
    }
    if (!wire.empty()) {
      EXPECT_EQ(wire.substr(wire.size() - 6), "QUIT\r\n") << "the statement's end";
    }
    EXPECT_EQ(stored, c.stored);
    const auto count = [&wire](const std::string& text) {
      int seen = 0;
      for (std::size_t at = wire.find(text); at != std::string::npos; at = wire.find(text, at + 1))
        ++seen;
      return seen;
    };
    for (const std::string& text : c.on_wire) EXPECT_EQ(count(text), 1) << text << "\n" << wire;
    for (const std::string& text : c.off_wire) EXPECT_EQ(count(text), 0) << text << "\n" << wire;
    const bool logs_in = !wire.empty() && std::string(c.behaviour).find(R"("auth": "")") == std::string::npos;
    EXPECT_EQ(count("AUTH LOGIN\r\n"), logs_in ? c.connections : 0) << "one login per connection";
    for (std::size_t i = 0; i < c.rows.size(); ++i)
      EXPECT_LE(count("Subject: row " + std::to_string(i) + "\r\n"), 1) << "never twice: " << i;
    // A message over SIZE, or one the server cannot take, is never begun.
    if (c.rows[0].result == too_large || c.rows[0].log.find("SMTPUTF8") != std::string::npos) {
      EXPECT_EQ(count("MAIL FROM:"), 1);
    }
    if (c.behaviour == std::string(R"({"smtputf8": true})")) {
      EXPECT_EQ(count("MAIL FROM:<from@example.test> SMTPUTF8\r\n"), 1) << wire;
    }
    if (c.rows[0].result == too_large) {
      EXPECT_EQ(count("MAIL FROM:<from@example.test> SIZE="), 1) << wire;
    }
  }
}

TEST_F(Conversation, TheStrictServerStoresTwentyOfTwenty) {
  // First: the server is strict. A client that writes before the greeting
  // or before a reply is refused.
  server_->behave("{}");
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(server_->port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string blind = "EHLO x\r\nMAIL FROM:<a@x>\r\n";
  ASSERT_EQ(::send(fd, blind.data(), blind.size(), 0), static_cast<ssize_t>(blind.size()));
  std::string answer;
  char buffer[256];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
  ::close(fd);
  EXPECT_EQ(answer, "554 5.5.0 Error: SMTP protocol synchronization\r\n");
  server_->next_session();

  int ok = 0, stored = 0;
  for (int i = 0; i < 20; ++i) {
    const Seen seen = send("rcpt" + std::to_string(i) + "@example.test");
    ok += seen.result == "OK";
    stored += seen.session.stored.has_value();
  }
  std::printf("strict server: %d of 20 calls said OK, %d of 20 messages stored\n", ok, stored);
  EXPECT_EQ(ok, 20);
  EXPECT_EQ(stored, 20);
}

}  // namespace
