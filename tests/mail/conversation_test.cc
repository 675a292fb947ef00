// velmar against a server that behaves as told (tests/support/smtp_server.py):
// refusals at every step, AUTH and PIPELINING offered or not, slow, silent,
// garbled and dropped conversations. One table: the behaviour, the result,
// the line on standard error and whether the server stored the message.
// The server refuses early pipelining as Postfix does by default from 3.9.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "smtp_peer.h"
#include "test_util.h"
#include "udf_call.h"
#include "velmar_fixture.h"

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
  struct Case {
    const char* behaviour;
    std::string log;  // "" for "OK"; ending in ": " means any cause of a broken connection
    bool stored;
    std::string to = kTo;
    const std::string* body = nullptr;
  };
  const std::vector<Case> cases = {
      {R"({})", "", true},
      {R"({"pipelining": true})", "", true},
      {R"({"auth": ""})", "", true},
      {R"({"auth": "PLAIN CRAM-MD5"})",
       "AUTH LOGIN: not offered by the server (it offers PLAIN CRAM-MD5)", false},
      {R"({"reply": {"greeting": "421 4.3.2 Service not available"}})",
       "greeting refused: 421 4.3.2 Service not available", false},
      {R"({"reply": {"AUTH": "504 5.5.4 Not now"}})", "AUTH LOGIN refused: 504 5.5.4 Not now", false},
      {R"({"reply": {"PASSWORD": "535 5.7.8 Authentication credentials invalid"}})",
       "AUTH LOGIN password refused: 535 5.7.8 Authentication credentials invalid", false},
      {R"({"reply": {"PASSWORD": "535 5.7.8 c2VjcmV0 is not secret"}})",
       "AUTH LOGIN password refused: 535 5.7.8 [password] is not [password]", false},
      {R"({"reply": {"MAIL": "550 5.7.1 Sender rejected"}})",
       "MAIL FROM:<from@example.test> refused: 550 5.7.1 Sender rejected", false},
      {R"({"reply": {"RCPT x@example.test": "550 5.1.1 <x@example.test>: Recipient address rejected"}})",
       "RCPT TO:<x@example.test> refused: 550 5.1.1 <x@example.test>: Recipient address rejected",
       false, "a@example.test, Xa <x@example.test>, c@example.test"},
      {R"({"pipelining": true, "reply": {"RCPT x@example.test": "550 5.1.1 unknown"}})",
       "RCPT TO:<x@example.test> refused: 550 5.1.1 unknown", false,
       "a@example.test, x@example.test"},
      {R"({"reply": {"DATA": "554 5.5.1 No valid recipients"}})",
       "DATA refused: 554 5.5.1 No valid recipients", false},
      {R"({"reply": {"END": "552 5.3.4 Message too big"}})",
       "end of data refused: 552 5.3.4 Message too big", false},
      {R"({"reply": {"MAIL": "250-first\r\n550 5.0.0 mixed codes"}})",
       "MAIL FROM:<from@example.test>: not an SMTP reply: 250-first??550 5.0.0 mixed codes??", false},
      {R"({"reply": {"DATA": "250 2.0.0 Ok"}})", "DATA: unexpected reply: 250 2.0.0 Ok", false},
      {R"({"delay": {"MAIL": 2.5}})", "MAIL FROM:<from@example.test>: no reply within 1 s", false},
      // The server took the message but answered too late: the call cannot
      // tell, and says it failed.
      {R"({"delay": {"END": 2.5}})", "end of data: no reply within 1 s", true},
      {R"({"stall": "greeting", "stall_seconds": 1.5})", "greeting: no reply within 1 s", false},
      {R"({"stall": "BODY", "stall_seconds": 1.5})", "message data: the server took no data for 1 s",
       false, kTo, &big},
      {R"({"garbage": "EHLO"})", "EHLO 127.0.0.1: not an SMTP reply: ??HELLO? this is not SMTP??",
       false},
      {R"({"drop": "greeting"})", "greeting: " + closed, false},
      {R"({"drop": "EHLO"})", "EHLO 127.0.0.1: " + closed, false},
      {R"({"drop": "AUTH"})", "AUTH LOGIN: " + closed, false},
      {R"({"drop": "USER"})", "AUTH LOGIN user name: " + closed, false},
      {R"({"drop": "PASSWORD"})", "AUTH LOGIN password: " + closed, false},
      {R"({"drop": "MAIL"})", "MAIL FROM:<from@example.test>: " + closed, false},
      {R"({"drop": "RCPT"})", "RCPT TO:<to@example.test>: " + closed, false},
      {R"({"drop": "DATA"})", "DATA: " + closed, false},
      {R"({"drop": "BODY"})", "end of data: ", false, kTo, &big},
      {R"({"drop": "END"})", "end of data: ", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.behaviour);
    server_->behave(c.behaviour);
    const Seen seen = send(c.to, c.body ? *c.body : "Body\r\n.dot");
    EXPECT_EQ(seen.result, c.log.empty() ? "OK" : kSendError);
    if (c.log.size() > 2 && c.log.compare(c.log.size() - 2, 2, ": ") == 0) {
      // A close with unread data resets; either may come first.
      EXPECT_TRUE(seen.log == c.log + closed + "\n" || seen.log == c.log + "Connection reset by peer\n" ||
                  seen.log.rfind("message data: ", 0) == 0)
          << seen.log;
    } else {
      EXPECT_EQ(seen.log, c.log.empty() ? "" : c.log + "\n");
    }
    EXPECT_EQ(seen.session.stored.has_value(), c.stored);
    EXPECT_LT(seen.seconds, 4.0) << "a deadline is 1 s, the close wait is not used";
    const std::string& wire = seen.session.received;
    // Credentials only go to a server that asked for AUTH LOGIN.
    if (std::string(c.behaviour).find("\"auth\"") != std::string::npos) {
      EXPECT_EQ(wire.find("YWI="), std::string::npos) << wire.substr(0, 200);
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
