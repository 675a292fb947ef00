// velmar called as the server calls it, against the test SMTP server on
// loopback: refusals, the conversation byte for byte, failures, the orderly
// close and concurrent calls.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
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

const char kSendError[] = "There was an error sending the message.";

class Velmar : public quarn::test::VelmarTest {
 protected:
  void SetUp() override {
    server_->behave("{}");
    VelmarTest::SetUp();
  }

  Function velmar() const { return Function(*plugin_, "velmar"); }

  static Args mail(const std::string& body = "Body") {
    Args args;
    args.text("to@example.test").text("from@example.test").text("Hello").text(body);
    return args;
  }
};

using Text = std::optional<std::string>;

// String arguments; nullopt stands for SQL NULL.
Args texts(const std::vector<Text>& values) {
  Args args;
  for (const auto& value : values) value ? args.text(*value) : args.null_text();
  return args;
}

Args with_flag(Args args, std::optional<long long> flag) {
  flag ? args.integer(*flag) : args.null_integer();
  return args;
}

// What the client sends to the server for user "ab", password
// "secret" and smtp-helo client.example.test, stamp masked; recipients default to the To
// text. extra_header: lines after Content-Type.
std::string conversation(const std::string& from, const std::string& to,
                         const std::string& subject, const std::string& sent_body,
                         const std::string& type, std::vector<std::string> recipients = {},
                         const std::string& sender = "", const std::string& extra_header = "") {
  if (recipients.empty()) recipients.push_back(to);
  std::string sent = "EHLO client.example.test\r\nAUTH LOGIN\r\nYWI=\r\nc2VjcmV0\r\nMAIL FROM:<" +
                     (sender.empty() ? from : sender) + ">\r\n";
  for (const auto& recipient : recipients) sent += "RCPT TO:<" + recipient + ">\r\n";
  return sent + "DATA\r\n" + quarn::test::velmar_header(subject, from, to, type) + extra_header +
         "\r\n" + sent_body + "\r\n.\r\nQUIT\r\n";
}

std::string received(const ScriptedSmtpServer::Session& seen) {
  return quarn::test::masked_stamp(seen.received);
}

TEST_F(Velmar, InitRefusesWrongCountsAndTypesWithTheFullText) {
  const std::string count =
      "EMAIL() requires To address, From address, Subject line, Message, and is HTML.";
  const std::string type =
      "EMAIL() requires To address, From address, Subject, Message, and is HTML.";
  std::vector<std::pair<Args, std::string>> cases;
  cases.emplace_back(texts({"a", "b", "c"}), count);
  // After the fifth, names. A positional argument is named by the server
  // as its expression's text (a literal with its quotes), which no more
  // names an option than a misspelt alias does.
  const std::string needs =
      " needs AS cc, bcc, reply_to, attachment, attachment_name, text or importance ";
  cases.emplace_back(texts({"a", "b", "c", "d", "e", "f"}), "EMAIL() argument 6" + needs + "(it has no name).");
  cases.emplace_back(with_flag(texts({"a", "b", "c", "d", "e"}), 1), "EMAIL() argument 6" + needs + "(it has no name).");
  Args positional = with_flag(texts({"a", "b", "c", "d"}), 1);
  positional.text("x@y").as("'x@y'");
  cases.emplace_back(std::move(positional), "EMAIL() argument 6" + needs + "(not 'x@y').");
  Args misspelt = with_flag(texts({"a", "b", "c", "d"}), 1);
  misspelt.text("x@y").as("cc").text("x@y").as("bcc_").text("x").as(std::string(100, 'n'));
  cases.emplace_back(std::move(misspelt), "EMAIL() argument 7" + needs + "(not bcc_).");
  Args overlong = with_flag(texts({"a", "b", "c", "d"}), 1);
  overlong.text("x").as(std::string(100, 'n'));
  cases.emplace_back(std::move(overlong), "EMAIL() argument 6" + needs + "(not " + std::string(64, 'n') + "...).");
  Args repeated = with_flag(texts({"a", "b", "c", "d"}), 1);
  repeated.text("x@y").as("cc").text("a").as("attachment").text("y@y").as("CC");
  cases.emplace_back(std::move(repeated),
                     "EMAIL() argument 8 repeats cc; once each: cc, bcc, reply_to, text, importance; "
                     "attachment and attachment_name in pairs.");
  const std::string orphan =
      ": an attachment_name follows its own attachment (AS attachment, then AS attachment_name).";
  Args first_name = with_flag(texts({"a", "b", "c", "d"}), 1);
  first_name.text("n").as("attachment_name").text("a").as("attachment");
  cases.emplace_back(std::move(first_name), "EMAIL() argument 6" + orphan);
  Args second_name = with_flag(texts({"a", "b", "c", "d"}), 1);
  second_name.text("a").as("attachment").text("n").as("attachment_name").text("t").as("text")
      .text("m").as("attachment_name");
  cases.emplace_back(std::move(second_name), "EMAIL() argument 9" + orphan);
  Args fifth_named = texts({"a", "b", "c", "d", "x@y"});
  fifth_named.as("cc");
  cases.emplace_back(std::move(fifth_named),
                     "EMAIL() argument 5 is is_html (0 or 1); cc, bcc, reply_to, attachment, "
                     "attachment_name, text, importance come after it.");
  Args number_from;
  number_from.text("a").integer(2).text("c").text("d");
  cases.emplace_back(std::move(number_from), type);
  Args real_body;
  real_body.text("a").text("b").text("c").real(1.5).integer(0);
  cases.emplace_back(std::move(real_body), type);
  for (auto& [args, message] : cases) {
    const std::vector<Item_result> types = args.types();
    const auto outcome = velmar().init(args);
    EXPECT_TRUE(outcome.refused);
    EXPECT_EQ(outcome.message, message);
    EXPECT_EQ(args.types(), types) << "a refused call changes nothing";
  }
}

TEST_F(Velmar, InitAcceptsFourOrFiveAndAsksForAnInteger) {
  Args four = mail();
  auto outcome = velmar().init(four);
  ASSERT_FALSE(outcome.refused);
  EXPECT_TRUE(outcome.initid.maybe_null);
  EXPECT_EQ(outcome.initid.max_length, 255u);
  EXPECT_EQ(four.maybe_null(), (std::vector<char>{0, 0, 1, 1}));
  velmar().deinit(outcome.initid);  // as the server does after every accepted init

  Args five = mail();
  five.text("0");  // the server converts it once init asked for an integer
  outcome = velmar().init(five);
  ASSERT_FALSE(outcome.refused);
  EXPECT_EQ(five.types()[4], INT_RESULT);
  EXPECT_EQ(five.maybe_null(), (std::vector<char>{0, 0, 1, 1, 1}));
  velmar().deinit(outcome.initid);

  // Names in any letter case and order, attachments in pairs or alone;
  // numbers are asked for as their text.
  Args named = with_flag(mail(), 1);
  named.integer(7).as("attachment").text("n").as("Attachment_Name").real(1.5).as("cc")
      .text("b").as("BCC").text("r").as("reply_to").decimal("2.0").as("attachment")
      .text("t").as("text").text("low").as("importance").text("x").as("attachment");
  outcome = velmar().init(named);
  ASSERT_FALSE(outcome.refused) << outcome.message;
  std::vector<Item_result> types(4, STRING_RESULT);
  types.push_back(INT_RESULT);
  types.resize(named.size(), STRING_RESULT);
  EXPECT_EQ(named.types(), types);
  std::vector<char> maybe_null = {0, 0, 1, 1};
  maybe_null.resize(named.size(), 1);
  EXPECT_EQ(named.maybe_null(), maybe_null);
  velmar().deinit(outcome.initid);
}

TEST_F(Velmar, ConversationByteForByte) {
  struct Case {
    const char* name;
    Args args;
    std::string expected;
  };
  std::vector<Case> cases;
  cases.push_back({"four arguments: html", mail(),
                   "EHLO client.example.test\r\nAUTH LOGIN\r\nYWI=\r\nc2VjcmV0\r\n"
                   "MAIL FROM:<from@example.test>\r\nRCPT TO:<to@example.test>\r\nDATA\r\n"
                   "Subject: Hello\r\nFrom: from@example.test\r\nTo: to@example.test\r\n"
                   "Date: (date)\r\nMessage-ID: (id)\r\nMIME-Version: 1.0\r\n"
                   "Content-Type: text/html; charset=utf-8\r\n\r\nBody\r\n.\r\nQUIT\r\n"});
  const std::string from = "from@example.test";
  const std::string to = "to@example.test";
  cases.push_back({"fifth 0: plain", with_flag(mail(), 0),
                   conversation(from, to, "Hello", "Body", "plain")});
  cases.push_back({"fifth NULL: html", with_flag(mail(), std::nullopt),
                   conversation(from, to, "Hello", "Body", "html")});
  cases.push_back({"fifth 7: html", with_flag(mail(), 7),
                   conversation(from, to, "Hello", "Body", "html")});
  cases.push_back({"fifth -1: html", with_flag(mail(), -1),
                   conversation(from, to, "Hello", "Body", "html")});
  cases.push_back({"empty From",
                   texts({to, "", "Hello", "Body"}),
                   conversation("", to, "Hello", "Body", "html")});
  cases.push_back({"comma list: one RCPT each, the header keeps the text",
                   texts({"a@x.test, b@x.test,c@x.test", from, "Hello", "Body"}),
                   conversation(from, "a@x.test, b@x.test,c@x.test", "Hello", "Body", "html",
                                {"a@x.test", "b@x.test", "c@x.test"})});
  cases.push_back({"names: the envelope takes the addresses",
                   texts({"\"Doe, Jo\" <jo@x.test>", "Db Jobs <db@x.test>", "Hello", "Body"}),
                   conversation("Db Jobs <db@x.test>", "\"Doe, Jo\" <jo@x.test>", "Hello", "Body",
                                "html", {"jo@x.test"}, "db@x.test")});
  cases.push_back({"leading dots; every line end CR LF",
                   with_flag(mail(".\r\n..x\r\n.QUIT\nplain.\r.\r\n"), 0),
                   conversation(from, to, "Hello", "..\r\n...x\r\n..QUIT\r\nplain.\r\n..\r\n",
                                "plain")});
  cases.push_back({"NULL subject and body",
                   texts({to, from, std::nullopt, std::nullopt}),
                   conversation(from, to, "", "", "html")});
  // Bytes that are no UTF-8 are taken for windows-1252 (MariaDB's latin1).
  std::string eight_bit = conversation(from, to, "=?windows-1252?B?5AB4?=", "=00=FF", "html", {}, "",
                                       "Content-Transfer-Encoding: quoted-printable\r\n");
  eight_bit.replace(eight_bit.find("charset=utf-8"), 13, "charset=windows-1252");
  cases.push_back({"any byte value: an encoded word, quoted-printable",
                   texts({to, from, std::string("\xe4\0x", 3), std::string("\0\xff", 2)}),
                   eight_bit});

  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    const int accepted = server_->accepted();
    StderrCapture err;
    const auto outcome = velmar().call_string(cases[i].args);
    EXPECT_EQ(outcome.text, "OK");
    EXPECT_EQ(outcome.length, 2u);
    EXPECT_FALSE(outcome.is_null);
    EXPECT_FALSE(outcome.error);
    EXPECT_TRUE(outcome.returned_result_buffer);
    EXPECT_EQ(err.text(), "");
    const auto seen = server_->next_session();
    EXPECT_EQ(received(seen), cases[i].expected);
    // The client shut down its side after the script and read the replies,
    // so the server saw an orderly end, never a reset.
    EXPECT_TRUE(seen.orderly_end);
    EXPECT_EQ(server_->accepted(), accepted + 1);
  }
}

// Without smtp-helo the client names itself, never after the server: the
// machine's dotted name, or its address on this connection as a literal.
TEST_F(Velmar, IPv6LoopbackServerAndTheClientsOwnName) {
  ScriptedSmtpServer server("ab", "secret", "", "::1");
  configure("::1", server.port());
  unsetenv("UDF_SMTPHELO");
  auto args = mail();
  const auto outcome = velmar().call_string(args);
  EXPECT_EQ(outcome.text, "OK");
  const std::string sent = server.next_session().received;
  const std::string name = sent.substr(5, sent.find("\r\n") - 5);
  EXPECT_EQ(sent.substr(0, 5), "EHLO ");
  const bool dotted = name.find('.') != std::string::npos &&
                      name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                             "0123456789-.") == std::string::npos;
  EXPECT_TRUE(dotted || name == "[IPv6:::1]") << name;
}

TEST_F(Velmar, RefusedCallsTellWhyAndNeverConnect) {
  const int accepted = server_->accepted();
  struct Case {
    const char* unset;  // setting removed, or nullptr
    Args args;
    std::string text;
    const char* port = nullptr;  // UDF_SMTPPORT instead of the server's
  };
  std::vector<Case> cases;
  cases.push_back({"UDF_SMTPHOST", texts({std::nullopt, std::nullopt, std::nullopt, std::nullopt}),
                   "Error: SMTP Server Not Specified"});
  cases.push_back({"UDF_SMTPUSER", mail(), "Error: SMTP Server User Not Specified"});
  cases.push_back({"UDF_SMTPPASSWORD", mail(), "Error: SMTP Server Password Not Specified"});
  cases.push_back({"UDF_SMTPPORT", mail(), "Error: SMTP Port Not Specified"});
  cases.push_back({nullptr, texts({std::nullopt, "f@x", "s", "b"}),
                   "Error: No 'To' address specified."});
  cases.push_back({nullptr, texts({"", std::nullopt, "s", "b"}),
                   "Error: No 'To' address specified."});
  cases.push_back({nullptr, texts({"t@x", std::nullopt, "s\r\n", "b"}),
                   "Error: No 'From' address specified."});
  cases.push_back({nullptr, texts({"t@x\r\nRCPT TO:<evil@x>", "f@x", "s", "b"}),
                   "Error: 'To' address contains a line break."});
  cases.push_back({nullptr, texts({"t@x", "f@x\n", "s", "b"}),
                   "Error: 'From' address contains a line break."});
  cases.push_back({nullptr, texts({"t@x", "f@x", "s\r\nBcc: evil@x", "b"}),
                   "Error: Subject contains a line break."});
  cases.push_back({nullptr, texts({"t@x, ,u@x", "f@x", "s", "b"}),
                   "Error: 'To' address list has an empty part."});
  cases.push_back({nullptr, texts({"Ann <t@x", "f@x", "s", "b"}),
                   "Error: 'To' address has an unclosed bracket or quote."});
  cases.push_back({nullptr, texts({"t@x", "\"Db <f@x>", "s", "b"}),
                   "Error: 'From' address has an unclosed bracket or quote."});
  cases.push_back({nullptr, with_flag(texts({"t@x", "f@x", "s", "b"}), 1).text("c@x\n").as("cc"),
                   "Error: 'Cc' address contains a line break."});
  // The hard size limit: judged on the texts before anything is encoded,
  // and on the message built (a 7-bit body goes as it is, with the header).
  const std::string too_large = "Error: The message is larger than the server accepts (33554432 bytes).";
  cases.push_back({nullptr, with_flag(texts({"t@x", "f@x", "s", "b"}), 1)
                                .text(std::string(25165825, 'a')).as("attachment"),
                   too_large});
  std::string full;
  while (full.size() + 100 <= (32u << 20)) full += std::string(98, 'x') + "\r\n";
  full.resize(32u << 20, 'x');
  cases.push_back({nullptr, texts({"t@x", "f@x", "s", full}), too_large});
  const std::string to_control = "Error: 'To' address contains a control character.";
  const std::string from_control = "Error: 'From' address contains a control character.";
  cases.push_back({nullptr, texts({std::string("t@x\0evil@x", 10), "f@x", "s", "b"}), to_control});
  cases.push_back({nullptr, texts({"Ann\t<t@x>", "f@x", "s", "b"}), to_control});
  cases.push_back({nullptr, texts({"t@x", "f@x\x1b", "s", "b"}), from_control});
  cases.push_back({nullptr, texts({"t@x", "f\x7f@x", "s", "b"}), from_control});
  // A port that would wrap to another one is refused before any connection.
  for (const char* port : {"0", "65536", "68137", "-1", "none"})
    cases.push_back({nullptr, mail(), "Error: SMTP port out of range (1-65535).", port});
  for (auto& c : cases) {
    SCOPED_TRACE(c.text);
    configure("127.0.0.1", server_->port());
    if (c.unset != nullptr) unsetenv(c.unset);
    if (c.port != nullptr) setenv("UDF_SMTPPORT", c.port, 1);
    StderrCapture err;
    const auto outcome = velmar().call_string(c.args);
    EXPECT_EQ(outcome.text, c.text);
    EXPECT_EQ(outcome.length, c.text.size());
    EXPECT_FALSE(outcome.is_null);
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(err.messages("velmar"), c.text + "\n");
  }
  // Every call has returned, so a connection would already be queued.
  EXPECT_EQ(server_->accepted(), accepted);
}

TEST_F(Velmar, LookupAndConnectFailures) {
  quarn::test::DeadPort dead;
  struct Case {
    std::string host;
    std::string port;
    std::string log;  // empty: any non-empty line
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", std::to_string(dead.port()),
       "127.0.0.1:" + std::to_string(dead.port()) + ": Connection refused\n"},
      // The ends of the range are ports like any other.
      {"127.0.0.1", "1", "127.0.0.1:1: Connection refused\n"},
      {"127.0.0.1", "65535", "127.0.0.1:65535: Connection refused\n"},
      {"no-such-host.invalid", "25", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host + ":" + c.port);
    setenv("UDF_SMTPHOST", c.host.c_str(), 1);
    setenv("UDF_SMTPPORT", c.port.c_str(), 1);
    StderrCapture err;
    auto args = mail();
    const auto outcome = velmar().call_string(args);
    EXPECT_EQ(outcome.text, kSendError);
    EXPECT_FALSE(outcome.is_null);
    EXPECT_FALSE(outcome.error);
    const std::string log = err.messages("velmar");
    if (!c.log.empty()) {
      EXPECT_EQ(log, c.log);
    } else {
      EXPECT_EQ(log.rfind(c.host + ":" + c.port + ": ", 0), 0u) << log;
      EXPECT_GT(log.size(), c.host.size() + c.port.size() + 4);
      EXPECT_EQ(log.find('\n'), log.size() - 1) << log;
    }
  }
}

// A broken connection is an ordinary failure with a text that names the
// step, no longer NULL with the error flag; a reset before the reply to the
// data is no "OK".
TEST_F(Velmar, ResetsAreFailuresThatNameTheStep) {
  std::string big;  // just under the size limit
  big.reserve(30 << 20);
  while (big.size() < (30u << 20)) big += std::string(98, 'x') + "\r\n";
  const struct {
    const char* behaviour;
    std::string body;
    std::string step;
  } cases[] = {
      {R"({"reset": "BODY"})", big, "message data: "},
      {R"({"reset": "END"})", "Body", "end of data: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.step);
    server_->behave(c.behaviour);
    StderrCapture err;
    auto args = mail(c.body);
    const auto outcome = velmar().call_string(args);
    EXPECT_FALSE(outcome.is_null);
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(outcome.text, kSendError);
    const std::string log = err.messages("velmar");
    EXPECT_EQ(log.rfind("127.0.0.1:" + std::to_string(server_->port()) + ": " + c.step, 0), 0u) << log;
    EXPECT_EQ(log.find('\n'), log.size() - 1) << log;
    server_->next_session();
  }
}

// After QUIT the call waits for the server to close, up to the session's
// close wait (1 s for velmar; session_test proves the bound with a short
// one). This server closes half a second after the client.
TEST_F(Velmar, WaitsForTheServerToClose) {
  server_->behave(R"({"hold": 0.5})");
  auto args = mail();
  const auto start = std::chrono::steady_clock::now();
  const auto outcome = velmar().call_string(args);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(outcome.text, "OK");
  EXPECT_GE(waited, std::chrono::milliseconds(500));
  EXPECT_LT(waited, std::chrono::seconds(5));
  const auto seen = server_->next_session();
  EXPECT_EQ(received(seen), conversation("from@example.test", "to@example.test", "Hello",
                                         "Body", "html"));
}

TEST_F(Velmar, EightThreadsAtOnceEachMessageArrivesWhole) {
  constexpr int kThreads = 8;
  std::vector<std::string> results(kThreads);
  std::vector<std::string> bodies;
  for (int i = 0; i < kThreads; ++i) {
    // About 200 KB each, in lines of 100 bytes, a different letter per thread.
    std::string body = "thread " + std::to_string(i) + "\r\n";
    for (int line = 0; line < 2000 + i; ++line) body += std::string(98, 'a' + i) + "\r\n";
    bodies.push_back(body);
  }
  std::vector<std::thread> threads;
  const Function fn = velmar();
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      Args args = mail(bodies[i]);
      results[i] = fn.call_string(args).text;
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& r : results) EXPECT_EQ(r, "OK");
  std::set<std::string> expected;
  for (const auto& body : bodies)
    expected.insert(conversation("from@example.test", "to@example.test", "Hello", body, "html"));
  std::set<std::string> arrived;
  for (int i = 0; i < kThreads; ++i) {
    const auto seen = server_->next_session();
    EXPECT_TRUE(seen.orderly_end);
    arrived.insert(received(seen));
  }
  EXPECT_EQ(arrived, expected);
}

}  // namespace
